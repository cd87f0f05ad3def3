// The launcher stub built with this tool.
#pragma once

#include "build/tool/elf_reader.h"

namespace onefile::tool {

ByteSpan getEmbeddedStub();

}  // namespace onefile::tool
