#pragma once

#include <functional>

namespace velunto {

// Tells when video device nodes may have come or gone. The handler may run on any thread and only
// says "look again"; the provider rescans.
class V4L2DeviceWatcher {
public:
    virtual ~V4L2DeviceWatcher() = default;
    // False if watching is impossible (the provider then sees only its first scan).
    virtual bool start(std::function<void()> changed) = 0;
    // Synchronous: the handler is not called after it returns.
    virtual void stop() = 0;
};

}  // namespace velunto
