#include "tool/entry_name.h"

#include "format/payload_format.h"

namespace onefile::tool {
namespace {

std::string describeLength(std::string_view what, std::size_t bytes) {
    return std::string(what) + " of " + std::to_string(bytes) +
           " bytes; it must be shorter than " + std::to_string(kNameBufferBytes) + " bytes";
}

}  // namespace

std::string findEntryNameFault(std::string_view name) {
    if (name.empty()) return "empty name";
    if (name.size() >= kNameBufferBytes) return describeLength("name", name.size());
    std::size_t start = 0;
    while (true) {
        const std::size_t end = std::min(name.find('/', start), name.size());
        const std::string_view component = name.substr(start, end - start);
        if (component.empty()) return "name has an empty component";
        if (component == "." || component == "..")
            return "name has a \"" + std::string(component) + "\" component";
        if (component.size() > kLongestComponentBytes)
            return "name has a component of " + std::to_string(component.size()) + " bytes; at most " +
                   std::to_string(kLongestComponentBytes) + " bytes fit one directory entry";
        if (end == name.size()) return {};
        start = end + 1;
    }
}

std::string findLinkTextFault(std::string_view text) {
    if (text.empty()) return "empty link text";
    if (text.size() >= kNameBufferBytes) return describeLength("link text", text.size());
    return {};
}

}  // namespace onefile::tool
