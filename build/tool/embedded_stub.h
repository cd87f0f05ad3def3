// The launcher stubs built with this tool, one per architecture.
#pragma once

#include "build/tool/architecture.h"
#include "build/tool/elf_reader.h"

namespace onefile::tool {

ByteSpan getEmbeddedStub(Architecture architecture);

}  // namespace onefile::tool
