#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

struct pa_threaded_mainloop;
struct pa_context;
struct pa_operation;

namespace velunto {

// A connection to the sound server (PulseAudio, or PipeWire's pulse server) on a thread of its own.
// Server calls are made with the loop locked; the server's callbacks run on the loop's thread with the
// lock held, so they must not block or wait for anything that takes the lock.
class PulseMainLoop {
public:
    // Connects to the server the environment names (PULSE_SERVER, else the user's own) without starting
    // one. Null, with the reason in `error`, if none answers within the timeout.
    static std::unique_ptr<PulseMainLoop> connect(const std::string& applicationName, std::chrono::milliseconds timeout,
                                                  std::string* error = nullptr);
    ~PulseMainLoop();
    // After the connection broke: a new one, on the same thread. False, with the reason, if none answers.
    bool reconnect(std::chrono::milliseconds timeout, std::string* error = nullptr);
    PulseMainLoop(const PulseMainLoop&) = delete;
    PulseMainLoop& operator=(const PulseMainLoop&) = delete;

    class Lock {
    public:
        explicit Lock(PulseMainLoop& loop);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        PulseMainLoop& loop_;
    };

    pa_context* context() const { return context_; }
    // With the lock held.
    bool isReady() const;
    // With the lock held: ends the connection at once; operations under way are cancelled.
    void disconnectLocked();
    // With the lock held: waits until the operation ends (its callback must call signal()); false if the
    // connection broke first. Releases the operation.
    bool wait(pa_operation* operation);
    // With the lock held: sleeps until a callback calls signal().
    void waitForEvent();
    // From a callback: wakes wait() and waitForEvent().
    void signal();
    // Called on the loop's thread, lock held, when the connection breaks for good.
    void setDisconnectHandler(std::function<void()> handler);

private:
    PulseMainLoop();
    bool connectLocked(std::chrono::milliseconds timeout, std::string* error);
    static void contextStateChanged(pa_context* context, void* userdata);

    pa_threaded_mainloop* mainloop_ = nullptr;
    pa_context* context_ = nullptr;
    std::string applicationName_;
    std::function<void()> disconnected_;
};

}  // namespace velunto
