#include "platform/pulse/PulseMainLoop.h"

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/operation.h>
#include <pulse/rtclock.h>
#include <pulse/thread-mainloop.h>
#include <pulse/timeval.h>

#include "platform/mach/thread_policy.h"

namespace velunto {

PulseMainLoop::PulseMainLoop() : mainloop_(pa_threaded_mainloop_new()) {}

PulseMainLoop::~PulseMainLoop() {
    if (mainloop_ == nullptr)
        return;
    pa_threaded_mainloop_lock(mainloop_);
    if (context_ != nullptr) {
        pa_context_set_state_callback(context_, nullptr, nullptr);
        pa_context_disconnect(context_);
        pa_context_unref(context_);
        context_ = nullptr;
    }
    pa_threaded_mainloop_unlock(mainloop_);
    pa_threaded_mainloop_stop(mainloop_);
    pa_threaded_mainloop_free(mainloop_);
}

std::unique_ptr<PulseMainLoop> PulseMainLoop::connect(const std::string& applicationName,
                                                      std::chrono::milliseconds timeout, std::string* error) {
    std::unique_ptr<PulseMainLoop> loop(new PulseMainLoop());
    if (loop->mainloop_ == nullptr) {
        if (error != nullptr)
            *error = "pa_threaded_mainloop_new failed";
        return nullptr;
    }
    loop->applicationName_ = applicationName;
    pa_threaded_mainloop_set_name(loop->mainloop_, "velunto.pulse");
    if (pa_threaded_mainloop_start(loop->mainloop_) < 0) {
        if (error != nullptr)
            *error = "pa_threaded_mainloop_start failed";
        return nullptr;
    }
    Lock lock(*loop);
    if (!loop->connectLocked(timeout, error))
        return nullptr;
    return loop;
}

bool PulseMainLoop::reconnect(std::chrono::milliseconds timeout, std::string* error) {
    Lock lock(*this);
    return connectLocked(timeout, error);
}

bool PulseMainLoop::connectLocked(std::chrono::milliseconds timeout, std::string* error) {
    auto fail = [&](std::string reason) {
        if (error != nullptr)
            *error = std::move(reason);
        return false;
    };
    if (context_ != nullptr) {
        pa_context_set_state_callback(context_, nullptr, nullptr);
        pa_context_disconnect(context_);
        pa_context_unref(context_);
    }
    // A new context reads the environment again (PULSE_SERVER), as a new program would.
    context_ = pa_context_new(pa_threaded_mainloop_get_api(mainloop_), applicationName_.c_str());
    if (context_ == nullptr)
        return fail("pa_context_new failed");
    pa_context_set_state_callback(context_, &PulseMainLoop::contextStateChanged, this);
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return fail(pa_strerror(pa_context_errno(context_)));

    struct Timeout {
        pa_threaded_mainloop* mainloop;
        bool expired = false;
    } expiry{mainloop_};
    pa_time_event* timer = pa_context_rttime_new(
        context_, pa_rtclock_now() + static_cast<pa_usec_t>(timeout.count()) * PA_USEC_PER_MSEC,
        [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
            auto* state = static_cast<Timeout*>(userdata);
            state->expired = true;
            pa_threaded_mainloop_signal(state->mainloop, 0);
        },
        &expiry);
    pa_context_state_t state = pa_context_get_state(context_);
    while (state != PA_CONTEXT_READY && PA_CONTEXT_IS_GOOD(state) && !expiry.expired) {
        pa_threaded_mainloop_wait(mainloop_);
        state = pa_context_get_state(context_);
    }
    if (timer != nullptr)
        pa_threaded_mainloop_get_api(mainloop_)->time_free(timer);
    if (state != PA_CONTEXT_READY)
        return fail(PA_CONTEXT_IS_GOOD(state) ? "no answer in time" : pa_strerror(pa_context_errno(context_)));
    return true;
}

void PulseMainLoop::contextStateChanged(pa_context* context, void* userdata) {
    // The loop's thread carries the streams' data: it runs as an audio thread where that is allowed.
    thread_local const bool promoted = thread_policy_set_time_constraint() == KERN_SUCCESS;
    (void)promoted;
    auto* loop = static_cast<PulseMainLoop*>(userdata);
    const pa_context_state_t state = pa_context_get_state(context);
    if ((state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) && loop->disconnected_)
        loop->disconnected_();
    pa_threaded_mainloop_signal(loop->mainloop_, 0);
}

PulseMainLoop::Lock::Lock(PulseMainLoop& loop) : loop_(loop) {
    pa_threaded_mainloop_lock(loop_.mainloop_);
}

PulseMainLoop::Lock::~Lock() {
    pa_threaded_mainloop_unlock(loop_.mainloop_);
}

void PulseMainLoop::disconnectLocked() {
    if (context_ != nullptr && PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)))
        pa_context_disconnect(context_);
}

bool PulseMainLoop::isReady() const {
    return pa_context_get_state(context_) == PA_CONTEXT_READY;
}

bool PulseMainLoop::wait(pa_operation* operation) {
    if (operation == nullptr)
        return false;
    while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING && isReady())
        pa_threaded_mainloop_wait(mainloop_);
    const bool done = pa_operation_get_state(operation) == PA_OPERATION_DONE;
    pa_operation_unref(operation);
    return done;
}

void PulseMainLoop::waitForEvent() {
    pa_threaded_mainloop_wait(mainloop_);
}

void PulseMainLoop::signal() {
    pa_threaded_mainloop_signal(mainloop_, 0);
}

void PulseMainLoop::setDisconnectHandler(std::function<void()> handler) {
    disconnected_ = std::move(handler);
}

}  // namespace velunto
