#include <sys/xattr.h>

#include "payload/tree_sweep.h"

namespace onefile {

namespace {

constexpr char kMarkName[] = "user.onefile.run";
constexpr char kMarkValue[] = "1";

}  // namespace

void markRunTree(int tree) { (void)fsetxattr(tree, kMarkName, kMarkValue, sizeof kMarkValue - 1, XATTR_CREATE); }

bool hasRunTreeMark(int tree) {
    char value[sizeof kMarkValue];
    return fgetxattr(tree, kMarkName, value, sizeof value) == sizeof kMarkValue - 1 && value[0] == kMarkValue[0];
}

}  // namespace onefile
