#include <cstring>

#include "payload/reuse_steps.h"
#include "runtime/fatal_stops.h"

namespace onefile {

void composeHeldPath(char* path, const char* name) {
    std::size_t holdingLength = strlen(gReuse.holdingPath);
    std::size_t nameLength = strlen(name);
    // The root has its slash already; an empty path is the working directory.
    bool slash = holdingLength > 0 && gReuse.holdingPath[holdingLength - 1] != '/';
    if (holdingLength + slash + nameLength >= kPathBufferBytes) stopOnBrokenLimit("extraction directory");
    memcpy(path, gReuse.holdingPath, holdingLength);
    if (slash) path[holdingLength] = '/';
    memcpy(path + holdingLength + slash, name, nameLength + 1);
}

}  // namespace onefile
