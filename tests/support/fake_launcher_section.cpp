#include "tests/support/fake_launcher_section.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "format/launcher_config.h"
#include "runtime/launcher_section.h"

namespace onefile {

namespace {

// Same field sizes as the configuration area, so a test can fill a field to
// the limit a real launcher has.
char fakeDirectoryTemplate[kDirectoryTemplateBytes] = "{TEMP}/onefile_{PID}_{TIME_US}_{RANDOM}";
char fakeProductName[kProductNameBytes] = "Merowin";
char fakeVersionString[kVersionStringBytes] = "0.13.1";
unsigned char fakeAttachedBlock[kStubBlockBytes];

void setField(char* field, std::size_t bytes, const char* text) {
    if (strlen(text) >= bytes) {
        fprintf(stderr, "fake launcher section: '%.40s...' is longer than its field\n", text);
        abort();
    }
    memcpy(field, text, strlen(text) + 1);
}

}  // namespace

const char* getDirectoryTemplate() { return fakeDirectoryTemplate; }
const char* getNextDirectoryTemplate(const char*) { return nullptr; }
const char* getProductName() { return fakeProductName; }
const char* getFirstRunMessage() { return ""; }
const char* getVersionString() { return fakeVersionString; }
const unsigned char* getAttachedBlock() { return fakeAttachedBlock; }

namespace testing {

void setFakeDirectoryTemplate(const char* text) {
    setField(fakeDirectoryTemplate, sizeof fakeDirectoryTemplate, text);
}
void setFakeProductName(const char* text) {
    setField(fakeProductName, sizeof fakeProductName, text);
}
void setFakeVersionString(const char* text) {
    setField(fakeVersionString, sizeof fakeVersionString, text);
}

}  // namespace testing

}  // namespace onefile
