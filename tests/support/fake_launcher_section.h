// Test stand-ins for the launcher's build-time strings. A unit test links
// fake_launcher_section.cpp instead of the stub's payload section and sets the
// strings it needs; they start as this build's defaults.
#pragma once

namespace onefile::testing {

// The text is copied; a string longer than the fake's field fails the test
// binary at once.
void setFakeDirectoryTemplate(const char* text);
void setFakeProductName(const char* text);
void setFakeVersionString(const char* text);

}  // namespace onefile::testing
