#include "app/settings/EncodingError.h"

namespace velunto {

EncodingError::EncodingError(const std::string& description) : std::runtime_error(description) {}

}  // namespace velunto
