#pragma once

#include <stdexcept>
#include <string>

namespace velunto {

// Thrown when a value cannot be written as JSON (a non-finite number, text that is not UTF-8).
class EncodingError : public std::runtime_error {
public:
    explicit EncodingError(const std::string& description);
};

}  // namespace velunto
