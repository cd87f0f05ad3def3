// Test stand-in for the launcher's own path. A unit test links
// fake_program_path.cpp instead of the onefile_program_path library and
// chooses the path that getProgramPath returns; it starts empty.
#pragma once

namespace onefile::testing {

// The text is copied into a buffer of the program path cache's size; a longer
// one fails the test binary at once.
void setFakeProgramPath(const char* path);

}  // namespace onefile::testing
