// The build-time strings of the launcher: {COMPANY}, {PRODUCT}, {VERSION},
// {FILE_VERSION} and {PRODUCT_VERSION}.
#include "runtime/launcher_section.h"
#include "templates/placeholder_routines.h"

namespace onefile {

bool insertProductName(TemplateOutput& output) {
    appendPlaceholderValue(output, getProductName(), false);
    return true;
}

bool insertVersionString(TemplateOutput& output) {
    appendPlaceholderValue(output, getVersionString(), false);
    return true;
}

}  // namespace onefile
