#pragma once

#include <string>

namespace velunto {

// A platform error: a domain, a code and the sentence shown for it.
struct NSError {
    std::string domain;
    long code = 0;
    std::string localizedDescription;

    // The platform's generic sentence for an error without a description of its own:
    // "The operation couldn’t be completed. (<domain> error <code>.)"
    static NSError withCode(std::string domain, long code);
};

}  // namespace velunto
