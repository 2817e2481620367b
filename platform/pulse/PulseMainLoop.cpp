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
    auto fail = [error](std::string reason) -> std::unique_ptr<PulseMainLoop> {
        if (error != nullptr)
            *error = std::move(reason);
        return nullptr;
    };
    std::unique_ptr<PulseMainLoop> loop(new PulseMainLoop());
    if (loop->mainloop_ == nullptr)
        return fail("pa_threaded_mainloop_new failed");
    pa_threaded_mainloop_set_name(loop->mainloop_, "velunto.pulse");
    loop->context_ = pa_context_new(pa_threaded_mainloop_get_api(loop->mainloop_), applicationName.c_str());
    if (loop->context_ == nullptr)
        return fail("pa_context_new failed");
    pa_context_set_state_callback(loop->context_, &PulseMainLoop::contextStateChanged, loop.get());
    if (pa_context_connect(loop->context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return fail(pa_strerror(pa_context_errno(loop->context_)));
    if (pa_threaded_mainloop_start(loop->mainloop_) < 0)
        return fail("pa_threaded_mainloop_start failed");
    // The loop's thread carries the streams' data: it runs as an audio thread where that is allowed.
    pa_threaded_mainloop_once_unlocked(
        loop->mainloop_, [](pa_threaded_mainloop*, void*) { thread_policy_set_time_constraint(); }, nullptr);

    struct Timeout {
        pa_threaded_mainloop* mainloop;
        bool expired = false;
    } expiry{loop->mainloop_};
    Lock lock(*loop);
    pa_time_event* timer = pa_context_rttime_new(
        loop->context_, pa_rtclock_now() + static_cast<pa_usec_t>(timeout.count()) * PA_USEC_PER_MSEC,
        [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
            auto* state = static_cast<Timeout*>(userdata);
            state->expired = true;
            pa_threaded_mainloop_signal(state->mainloop, 0);
        },
        &expiry);
    pa_context_state_t state = pa_context_get_state(loop->context_);
    while (state != PA_CONTEXT_READY && PA_CONTEXT_IS_GOOD(state) && !expiry.expired) {
        pa_threaded_mainloop_wait(loop->mainloop_);
        state = pa_context_get_state(loop->context_);
    }
    if (timer != nullptr)
        pa_threaded_mainloop_get_api(loop->mainloop_)->time_free(timer);
    if (state != PA_CONTEXT_READY)
        return fail(PA_CONTEXT_IS_GOOD(state) ? "no answer in time" : pa_strerror(pa_context_errno(loop->context_)));
    return loop;
}

void PulseMainLoop::contextStateChanged(pa_context* context, void* userdata) {
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
