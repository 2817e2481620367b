#pragma once

#include <cstddef>
#include <string_view>

namespace velunto {

// Lexical check of an XML property list before it is handed to libplist: tags are balanced and
// element nesting stays within maximumElementDepth. Comments, CDATA sections, processing
// instructions and the DOCTYPE declaration are skipped as XML defines them.
class PropertyListXmlValidator {
public:
    static bool isAcceptable(std::string_view xml, std::size_t maximumElementDepth);
};

}  // namespace velunto
