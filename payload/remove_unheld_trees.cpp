#include <cstring>

#include "payload/reuse_steps.h"
#include "payload/tree_sweep.h"

// Trees leave a holding directory only here, and only trees of ours: in a
// holding directory that a launcher made and marked as its own, a name of
// the version or working form that the sweep (payload/tree_sweep.h) finds
// unheld.

namespace onefile {

namespace {

bool hasKeptTreeForm(const char* name, const void* context) {
    bool versionToo = *static_cast<const bool*>(context);
    if (!versionToo && strcmp(name, gReuse.versionName) == 0) return false;
    return isVersionName(name) || isWorkingName(name);
}

}  // namespace

void removeUnheldTrees(int holding, bool versionToo) {
    sweepTrees(holding, TreeSweep{hasKeptTreeForm, nullptr, &versionToo});
}

}  // namespace onefile
