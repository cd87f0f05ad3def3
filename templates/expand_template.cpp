#include "templates/expand_template.h"

#include "templates/placeholder_table.h"

namespace onefile {

namespace {

// A literal needs room for itself and for the NUL behind it.
constexpr std::size_t kLiteralRoomBytes = 2;

}  // namespace

bool expandTemplateOnto(TemplateOutput& output, const char* templateText) {
    // Each scan, nested ones included, collects names in its own buffer, so a
    // nested expansion never disturbs the name its caller is working on.
    char name[kPlaceholderNameBytes];
    std::size_t nameLength = 0;
    // A name that outgrows the buffer keeps being scanned to its "}" but is
    // never written past the buffer, and it matches no placeholder.
    bool nameTooLong = false;
    bool insidePlaceholder = false;

    for (const char* cursor = templateText; *cursor != '\0'; ++cursor) {
        const char byte = *cursor;
        if (byte == '{') {
            // A second "{" restarts the name: "{A{TEMP}" names TEMP.
            insidePlaceholder = true;
            nameLength = 0;
            nameTooLong = false;
            continue;
        }
        if (insidePlaceholder) {
            if (byte == '}') {
                insidePlaceholder = false;
                if (nameTooLong) return false;
                name[nameLength] = '\0';
                const Placeholder* placeholder = findPlaceholder(name);
                if (placeholder == nullptr) return false;
                if (!placeholder->routine(output)) return false;
            } else if (nameLength + 1 < kPlaceholderNameBytes) {
                name[nameLength++] = byte;
            } else {
                nameTooLong = true;
            }
            continue;
        }
        // Outside a placeholder every byte is literal text, a "}" included.
        if (output.remainingCapacity < kLiteralRoomBytes) return false;
        output.buffer[output.writePosition] = byte;
        ++output.writePosition;
        output.buffer[output.writePosition] = '\0';
        --output.remainingCapacity;
    }
    // A placeholder still open at the end is dropped: the output keeps the
    // text before it.
    return true;
}

bool expandTemplate(char* buffer, const char* templateText, std::size_t capacity) {
    // Without room for even the NUL there is no output to stand terminated.
    if (capacity == 0) return false;
    buffer[0] = '\0';
    TemplateOutput output{buffer, 0, capacity};
    return expandTemplateOnto(output, templateText);
}

}  // namespace onefile
