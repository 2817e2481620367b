#pragma once

namespace velunto {

// What the application tells its delegate, on the main thread.
class NSApplicationDelegate {
public:
    virtual ~NSApplicationDelegate() = default;
    virtual void applicationDidFinishLaunching() {}
    virtual void applicationWillTerminate() {}
};

}  // namespace velunto
