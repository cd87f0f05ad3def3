// The launcher stubs built with this tool: per architecture the plain stub,
// and the decoder stub that compressed launchers are made from.
#pragma once

#include "tool/architecture.h"
#include "tool/elf_reader.h"

namespace onefile::tool {

enum class StubKind { plain, decoder };

ByteSpan getEmbeddedStub(Architecture architecture, StubKind kind = StubKind::plain);

}  // namespace onefile::tool
