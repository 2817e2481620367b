#pragma once

#include <sys/types.h>

#include <string>

namespace velunto {

// A process that uses a provider's devices.
struct CMIOExtensionClient {
    std::string clientID;  // UUID text, one per client process and connection
    pid_t pid = 0;
    std::string signingID;
};

}  // namespace velunto
