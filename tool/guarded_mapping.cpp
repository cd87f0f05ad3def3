#include "tool/guarded_mapping.h"

#include <exception>

#include "tool/tool_error.h"

namespace onefile::tool {

GuardedMapping::GuardedMapping(const std::string& path) : path_(path), file_(path), guard_(file_.bytes()) {}

bool GuardedMapping::cutShort() const { return MappingFaultGuard::faulted() || file_.cutShort(); }

void GuardedMapping::refuseIfCut(const char* doing) const {
    if (cutShort()) throw ToolError(path_, std::string("became shorter while being ") + doing);
}

void GuardedMapping::read(const char* doing, const std::function<void()>& read) const {
    try {
        read();
    } catch (const std::exception&) {
        refuseIfCut(doing);
        throw;
    }
    // A read past the new end inside the last page the file still has finds
    // zeros without a fault: only the size tells.
    refuseIfCut(doing);
}

}  // namespace onefile::tool
