#pragma once

#include <memory>

namespace velunto {

class OSSystemExtensionRequest;

// Carries out submitted requests in place of the process supervisor (the simulation installs one).
// handle() is called on the submitting thread and must not block; it answers through the manager's
// deliver/ask functions.
class SystemExtensionBackend {
public:
    virtual ~SystemExtensionBackend() = default;
    virtual void handle(const std::shared_ptr<OSSystemExtensionRequest>& request) = 0;
};

}  // namespace velunto
