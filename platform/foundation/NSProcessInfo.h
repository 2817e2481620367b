#pragma once

#include <string>

namespace velunto {

// What the process knows about the system it runs on.
class NSProcessInfo {
public:
    static NSProcessInfo& processInfo();
    // "Version <kernel release> (<distribution>)", e.g. "Version 6.1.0-18-amd64 (Debian GNU/Linux 12
    // (bookworm))"; the parts that cannot be read are left out.
    std::string operatingSystemVersionString() const;
};

}  // namespace velunto
