#include "platform/foundation/PropertyListXmlValidator.h"

#include <vector>

namespace velunto {
namespace {

bool endsName(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '/' || c == '>';
}

// Position of the '>' that closes a tag or declaration starting at `from`, skipping quoted values
// and, for declarations such as <!DOCTYPE ... [ ... ]>, bracketed internal subsets.
std::size_t closingBracket(std::string_view xml, std::size_t from, bool declaration) {
    int brackets = 0;
    char quote = 0;
    for (std::size_t i = from; i < xml.size(); ++i) {
        const char c = xml[i];
        if (quote != 0) {
            if (c == quote)
                quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (declaration && c == '[') {
            ++brackets;
        } else if (declaration && c == ']') {
            --brackets;
        } else if (c == '>' && brackets <= 0) {
            return i;
        }
    }
    return std::string_view::npos;
}

std::size_t skipPast(std::string_view xml, std::size_t from, std::string_view terminator) {
    const std::size_t found = xml.find(terminator, from);
    return found == std::string_view::npos ? found : found + terminator.size();
}

}  // namespace

bool PropertyListXmlValidator::isAcceptable(std::string_view xml, std::size_t maximumElementDepth) {
    std::vector<std::string_view> open;
    std::size_t i = 0;
    while (i < xml.size()) {
        if (xml[i] != '<') {
            ++i;
            continue;
        }
        const std::string_view rest = xml.substr(i);
        std::size_t next;
        if (rest.starts_with("<!--")) {
            next = skipPast(xml, i + 4, "-->");
        } else if (rest.starts_with("<![CDATA[")) {
            next = skipPast(xml, i + 9, "]]>");
        } else if (rest.starts_with("<?")) {
            next = skipPast(xml, i + 2, "?>");
        } else if (rest.starts_with("<!")) {
            const std::size_t end = closingBracket(xml, i + 2, true);
            next = end == std::string_view::npos ? end : end + 1;
        } else {
            const bool closing = rest.size() > 1 && rest[1] == '/';
            const std::size_t nameStart = i + (closing ? 2 : 1);
            std::size_t nameEnd = nameStart;
            while (nameEnd < xml.size() && !endsName(xml[nameEnd]))
                ++nameEnd;
            const std::string_view name = xml.substr(nameStart, nameEnd - nameStart);
            if (name.empty())
                return false;
            const std::size_t end = closingBracket(xml, nameEnd, false);
            if (end == std::string_view::npos)
                return false;
            if (closing) {
                if (open.empty() || open.back() != name)
                    return false;
                open.pop_back();
            } else if (xml[end - 1] != '/') {
                open.push_back(name);
                if (open.size() > maximumElementDepth)
                    return false;
            }
            next = end + 1;
        }
        if (next == std::string_view::npos)
            return false;
        i = next;
    }
    return true;
}

}  // namespace velunto
