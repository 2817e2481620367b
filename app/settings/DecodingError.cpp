#include "app/settings/DecodingError.h"

namespace velunto {

DecodingError::DecodingError(const std::string& description) : std::runtime_error(description) {}

DecodingError DecodingError::invalidNumberOfKeys() {
    return DecodingError("Invalid number of keys found, expected one.");
}

}  // namespace velunto
