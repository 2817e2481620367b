#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace velunto {

// Lets deliveries to delegates through while a session runs. close() shuts it and waits for the
// deliveries in progress on other threads, so that nothing reaches a delegate after stopRunning().
class AVCaptureDeliveryGate {
public:
    // False once closed; otherwise the caller delivers and then calls leave().
    bool enter();
    void leave();
    void close();
    bool isOpen() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable idle_;
    std::vector<std::thread::id> delivering_;
    bool open_ = true;
};

}  // namespace velunto
