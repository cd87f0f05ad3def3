#include "tests/support/fake_program_path.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/program_path.h"

namespace onefile {

namespace {

char fakeProgramPath[kProgramPathBytes];

}  // namespace

const char* getProgramPath() { return fakeProgramPath; }

const char* readProgramLink() { return fakeProgramPath; }

namespace testing {

void setFakeProgramPath(const char* path) {
    if (strlen(path) >= sizeof fakeProgramPath) {
        fprintf(stderr, "fake program path: '%.40s...' is longer than the cache\n", path);
        abort();
    }
    memcpy(fakeProgramPath, path, strlen(path) + 1);
}

}  // namespace testing

}  // namespace onefile
