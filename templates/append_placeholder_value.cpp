#include <cstring>

#include "runtime/fatal_stops.h"
#include "templates/expand_template.h"

namespace onefile {

void appendPlaceholderValue(TemplateOutput& output, const char* value, bool trailingSlashRule) {
    const std::size_t valueLength = strlen(value);
    // The value and its NUL must fit; the check comes before anything is
    // written, so a stop leaves the output as it stood.
    if (valueLength >= output.remainingCapacity) stopOnBrokenLimit("placeholder value");
    memcpy(output.buffer + output.writePosition, value, valueLength + 1);
    output.writePosition += valueLength;
    output.remainingCapacity -= valueLength;
    // The rule runs for an empty value too: it then removes the slashes that
    // end the output before the placeholder.
    if (trailingSlashRule) stripTrailingSlashes(output);
}

}  // namespace onefile
