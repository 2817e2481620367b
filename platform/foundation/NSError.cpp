#include "platform/foundation/NSError.h"

namespace velunto {

NSError NSError::withCode(std::string domain, long code) {
    std::string text = "The operation couldn’t be completed. (" + domain + " error " + std::to_string(code) + ".)";
    return NSError{std::move(domain), code, std::move(text)};
}

}  // namespace velunto
