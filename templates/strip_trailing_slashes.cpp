#include "templates/expand_template.h"

namespace onefile {

void stripTrailingSlashes(TemplateOutput& output) {
    // The rule looks at the whole output, not only at the last value: slashes
    // of literal text and of an enclosing scan's output go as well. Slashes
    // inside the output stay.
    while (output.writePosition > 0 && output.buffer[output.writePosition - 1] == '/') {
        --output.writePosition;
        output.buffer[output.writePosition] = '\0';
        ++output.remainingCapacity;
    }
}

}  // namespace onefile
