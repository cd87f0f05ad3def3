// The directory-template language: literal text and {NAME} placeholders,
// expanded by one scanner into a caller's buffer of fixed capacity.
#pragma once

#include <cstddef>

namespace onefile {

// The output that a scan and its nested scans share. The output always stands
// NUL-terminated from buffer[0] to buffer[writePosition]; remainingCapacity is
// the capacity less the output's length and is at least 1 after every step.
struct TemplateOutput {
    char* buffer;
    std::size_t writePosition;
    std::size_t remainingCapacity;
};

// Expands templateText into buffer (capacity bytes, NUL included).
// true: the whole template was expanded. false: a literal did not fit, a name
// was unrecognised or a placeholder failed; the buffer then holds what was
// produced before the failing element. A placeholder value that does not fit
// stops the launcher.
bool expandTemplate(char* buffer, const char* templateText, std::size_t capacity);

// Scans templateText onto an existing output, as if its text stood in the
// enclosing template: the nested expansion of a placeholder.
bool expandTemplateOnto(TemplateOutput& output, const char* templateText);

// Appends value with its NUL; stops the launcher when it does not fit. With
// trailingSlashRule, stripTrailingSlashes runs afterwards.
void appendPlaceholderValue(TemplateOutput& output, const char* value, bool trailingSlashRule);

// Removes every "/" that ends the output, reaching back over earlier text.
void stripTrailingSlashes(TemplateOutput& output);

}  // namespace onefile
