// A launcher or stub mapped for reading while another process may cut the
// file short: the mapping stays under a MappingFaultGuard for as long as it
// lives, so that a read of a page that is gone finds zeros instead of ending
// the tool with SIGBUS, and every reader reports the cut instead of what it
// made of the zeros.
#pragma once

#include <functional>
#include <string>

#include "tool/mapped_file.h"
#include "tool/mapping_fault_guard.h"

namespace onefile::tool {

class GuardedMapping {
public:
    // Maps the regular file at `path`, as MappedFile does; one at a time.
    explicit GuardedMapping(const std::string& path);

    ByteSpan bytes() const { return file_.bytes(); }
    const FileIdentity& identity() const { return file_.identity(); }
    // Whether the file became shorter since it was mapped: a read met a page
    // that was gone, or the file is shorter now than the mapping.
    bool cutShort() const;
    // Throws ToolError "PATH: became shorter while being DOING" when the
    // file became shorter.
    void refuseIfCut(const char* doing) const;
    // Runs `read` over the mapping. When the file became shorter meanwhile,
    // the cut is what is reported, whatever `read` made of the zeros: an
    // error it threw, or a result it returned.
    void read(const char* doing, const std::function<void()>& read) const;

private:
    std::string path_;
    MappedFile file_;
    MappingFaultGuard guard_;  // after file_: it guards file_'s span
};

}  // namespace onefile::tool
