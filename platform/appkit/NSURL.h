#pragma once

#include <optional>
#include <string>

namespace velunto {

// An absolute URL as text: a scheme (a letter, then letters, digits, '+', '-', '.'), ':' and a
// non-empty rest without spaces or control characters. Nothing beyond that is checked.
class NSURL {
public:
    static std::optional<NSURL> URLWithString(const std::string& text);

    const std::string& absoluteString() const { return text_; }
    const std::string& scheme() const { return scheme_; }

    friend bool operator==(const NSURL&, const NSURL&) = default;

private:
    NSURL(std::string text, std::string scheme) : text_(std::move(text)), scheme_(std::move(scheme)) {}

    std::string text_;
    std::string scheme_;
};

}  // namespace velunto
