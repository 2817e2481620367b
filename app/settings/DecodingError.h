#pragma once

#include <stdexcept>
#include <string>

namespace velunto {

// Thrown by the JSON decoders of the persisted records; what() is the error's description.
class DecodingError : public std::runtime_error {
public:
    explicit DecodingError(const std::string& description);

    // The description of the enumeration coding's error for anything but exactly one case key.
    static DecodingError invalidNumberOfKeys();
};

}  // namespace velunto
