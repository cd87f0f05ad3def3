// What pack and attach share: the launcher strings from the command line,
// the checked stub, and the launcher written to its output path.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "tool/architecture.h"
#include "tool/command_line.h"
#include "tool/embedded_stub.h"
#include "tool/guarded_mapping.h"
#include "tool/launcher_strings.h"
#include "tool/output_stream.h"
#include "tool/output_target.h"
#include "tool/stub_layout.h"

namespace onefile::tool {

// This build's defaults with the options of `line` applied, checked. A
// directory template that the launcher accepts but that invites trouble is
// reported on standard error, one warning per hazard, and used all the same.
// With --reuse the template names the directory that holds the kept trees:
// by default {CACHE_DIR}/onefile/NAME, NAME being the --product value when
// one is given, else the output file's name; a template with a placeholder
// whose value changes from run to run is refused.
LauncherStrings chooseLauncherStrings(const CommandLine& line);

// The stub a launcher is made from, with its layout checked: the built-in one
// of kind `kind` for `architecture` (x86_64 when none is asked for), or
// --stub FILE, whose architecture and kind are its own; its architecture
// must be `architecture` when one is asked for.
class CheckedStub {
public:
    CheckedStub(const std::optional<std::string>& stubPath, std::optional<Architecture> architecture,
                StubKind kind = StubKind::plain);

    ByteSpan bytes() const { return bytes_; }
    const StubLayout& layout() const { return layout_; }
    // Refuses an output that would replace the --stub file.
    void refuseAsOutput(const OutputTarget& target) const;
    // Refuses a stub whose launchers cannot keep their tree between runs
    // (--reuse): one of the first configuration layout, which records no
    // digest to name the kept tree after.
    void requireReuse() const;
    // Runs `read`, which reads bytes(); for a --stub file that another
    // process cut short meanwhile, the cut is what is reported.
    void read(const std::function<void()>& read) const;

private:
    std::unique_ptr<GuardedMapping> file_;
    std::string subject_;  // the stub as messages name it
    ByteSpan bytes_;
    StubLayout layout_;
};

// Writes the launcher to `outputPath` through a temporary file; its block is
// what `writeBlockBytes` writes, of `blockBytes` bytes when it was measured.
// A stub of the second configuration layout records `compressionLevel` (the
// level pack compressed with), `reuse` (--reuse), `reclaim` (false with
// --no-reclaim) and the launcher's digest, computed once the rest is
// written; the first layout has room for none.
// With `signKey` (--sign) that digest is signed with the key through
// ssh-keygen before the launcher is put in place; a stub of the first
// layout, which has no signature area, is refused then.
// Returns the launcher's size.
std::uint64_t produceLauncher(const std::string& outputPath, const CheckedStub& stub, const LauncherStrings& strings,
                     std::optional<int> compressionLevel, bool reuse, bool reclaim, std::optional<std::uint64_t> blockBytes,
                     const std::function<void(OutputStream&)>& writeBlockBytes,
                     const std::optional<std::string>& signKey = std::nullopt);

}  // namespace onefile::tool
