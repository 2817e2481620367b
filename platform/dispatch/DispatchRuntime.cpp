#include "platform/dispatch/DispatchRuntime.h"

#include <algorithm>
#include <array>
#include <thread>

#include "platform/dispatch/HostClock.h"
#include "platform/dispatch/MainQueueCore.h"
#include "platform/dispatch/QueueCore.h"
#include "platform/dispatch/ThreadedQueueCore.h"

namespace velunto::detail {

namespace {

constexpr std::size_t kQoSCount = 5;

// Process-wide and never destroyed, so that global threads never outlive their queues.
class RealRuntime final : public DispatchRuntime {
public:
    RealRuntime() : main_(std::make_shared<MainQueueCore>()) {
        const std::size_t threads = std::clamp<std::size_t>(std::thread::hardware_concurrency(), 2, 4);
        for (std::size_t i = 0; i < kQoSCount; ++i) {
            globals_[i] = std::make_shared<ThreadedQueueCore>(globalQueueLabel(static_cast<DispatchQoS>(i)), threads);
        }
    }

    std::shared_ptr<QueueCore> makeSerialQueue(std::string label) override {
        // Handles share a lease: when the last one goes, the queue's thread is stopped and joined.
        struct Lease {
            explicit Lease(std::shared_ptr<ThreadedQueueCore> c) : core(std::move(c)) {}
            Lease(const Lease&) = delete;
            Lease& operator=(const Lease&) = delete;
            ~Lease() { core->shutdown(); }
            const std::shared_ptr<ThreadedQueueCore> core;
        };
        auto lease = std::make_shared<Lease>(std::make_shared<ThreadedQueueCore>(std::move(label), 1));
        return std::shared_ptr<QueueCore>(lease, lease->core.get());
    }

    std::shared_ptr<QueueCore> mainQueue() override { return main_; }

    std::shared_ptr<QueueCore> globalQueue(DispatchQoS qos) override { return globals_[static_cast<std::size_t>(qos)]; }

    bool waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, DispatchTime deadline,
                   const std::function<bool()>& ready) override {
        while (!ready()) {
            const std::uint64_t now = HostClock::monotonicNanoseconds();
            if (now >= deadline.uptimeNanoseconds)
                return false;
            cv.wait_for(lock, boundedWait(deadline.uptimeNanoseconds - now));
        }
        return true;
    }

    MainQueueCore& main() { return *main_; }

private:
    std::shared_ptr<MainQueueCore> main_;
    std::array<std::shared_ptr<ThreadedQueueCore>, kQoSCount> globals_;
};

const std::shared_ptr<RealRuntime>& realRuntime() {
    static const auto* runtime = new std::shared_ptr<RealRuntime>(std::make_shared<RealRuntime>());
    return *runtime;
}

std::mutex installMutex;
std::shared_ptr<DispatchRuntime> installedVirtual;

}  // namespace

std::shared_ptr<DispatchRuntime> DispatchRuntime::current() {
    {
        std::lock_guard lock(installMutex);
        if (installedVirtual)
            return installedVirtual;
    }
    return realRuntime();
}

void DispatchRuntime::installVirtual(std::shared_ptr<DispatchRuntime> runtime) {
    std::lock_guard lock(installMutex);
    if (runtime && installedVirtual)
        dispatchFatal("VirtualTime: another VirtualTime is already installed");
    installedVirtual.swap(runtime);
}

MainQueueCore& DispatchRuntime::realMainQueue() {
    return realRuntime()->main();
}

std::string globalQueueLabel(DispatchQoS qos) {
    switch (qos) {
        case DispatchQoS::background:
            return "com.apple.root.background-qos";
        case DispatchQoS::utility:
            return "com.apple.root.utility-qos";
        case DispatchQoS::defaultQoS:
            return "com.apple.root.default-qos";
        case DispatchQoS::userInitiated:
            return "com.apple.root.user-initiated-qos";
        case DispatchQoS::userInteractive:
            return "com.apple.root.user-interactive-qos";
    }
    return "com.apple.root.default-qos";
}

}  // namespace velunto::detail
