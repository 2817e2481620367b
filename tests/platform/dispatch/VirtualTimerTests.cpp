#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/DispatchSemaphore.h"
#include "platform/dispatch/DispatchSourceTimer.h"
#include "platform/dispatch/DispatchWorkItem.h"
#include "platform/dispatch/VirtualTime.h"
#include "platform/dispatch/Weakly.h"

namespace velunto {
namespace {

using namespace std::chrono_literals;

DispatchTime at(std::chrono::nanoseconds offset) {
    return DispatchTime{VirtualTime::kStartNanoseconds} + offset;
}

class VirtualDispatch : public ::testing::Test {
protected:
    // Milliseconds since the start of virtual time, recorded by each firing.
    std::shared_ptr<DispatchSourceTimer> recordingTimer() {
        auto timer = DispatchSourceTimer::make(queue);
        timer->setEventHandler([this] { firings.push_back((DispatchTime::now() - at(0ms)) / 1ms); });
        return timer;
    }

    VirtualTime time;
    DispatchQueue queue{"app.velunto.test"};
    std::vector<long> firings;
};

TEST_F(VirtualDispatch, WorkItemsRunUnlessCancelledAndStayUsableAfterRunning) {
    int runs = 0;
    auto item = DispatchWorkItem::make([&] { ++runs; });
    auto cancelledEarly = DispatchWorkItem::make([&] { runs += 100; });
    queue.async(item);
    queue.asyncAfter(at(10ms), cancelledEarly);
    cancelledEarly->cancel();
    time.advance(20ms);
    EXPECT_EQ(runs, 1);

    item->perform();
    EXPECT_EQ(runs, 2);
    item->cancel();
    item->perform();
    EXPECT_EQ(runs, 2);
}

TEST_F(VirtualDispatch, TimerFiresOnlyOnceResumedThenOnceOrEveryIntervalAndReschedulingReplaces) {
    auto timer = recordingTimer();
    timer->schedule(at(10ms));
    time.advance(50ms);
    EXPECT_EQ(time.pendingCount(), 0u) << "a suspended timer posts nothing";

    timer->resume();
    time.advance(1s);
    EXPECT_EQ(firings, (std::vector<long>{50})) << "a deadline that passed while suspended fires once on resume";

    timer->schedule(at(1100ms), 10ms);
    timer->schedule(at(1060ms), 30ms, 10ms);  // replaces the schedule above; leeway is ignored
    time.advance(99ms);
    EXPECT_EQ(firings, (std::vector<long>{50, 1060, 1090, 1120}));
}

TEST_F(VirtualDispatch, TimerCancelledInsideOrOutsideItsHandlerStopsForGood) {
    auto outside = recordingTimer();
    auto inside = DispatchSourceTimer::make(queue);
    int count = 0;
    inside->setEventHandler([&count, raw = inside.get()] {
        if (++count == 3)
            raw->cancel();
    });
    for (const auto& timer : {outside, inside}) {
        timer->schedule(at(10ms), 10ms);
        timer->resume();
    }
    time.advance(35ms);
    outside->cancel();
    outside->schedule(at(40ms), 10ms);
    outside->resume();
    time.advance(1s);
    EXPECT_EQ(firings, (std::vector<long>{10, 20, 30})) << "a cancelled timer cannot be revived";
    EXPECT_EQ(count, 3);
}

TEST_F(VirtualDispatch, TimerDoesNotKeepItselfAlive) {
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> watch = token;
    auto timer = DispatchSourceTimer::make(queue);
    timer->setEventHandler([token = std::move(token)] { ++*token; });
    timer->schedule(at(10ms), 10ms);
    timer->resume();
    time.advance(25ms);
    ASSERT_EQ(*watch.lock(), 2);
    timer.reset();
    EXPECT_TRUE(watch.expired()) << "dropping the last reference releases the handler";
    time.advance(100ms);
    EXPECT_EQ(time.pendingCount(), 0u) << "and stops the ticks";

    auto selfHolding = DispatchSourceTimer::make(queue);
    std::weak_ptr<DispatchSourceTimer> watchTimer = selfHolding;
    selfHolding->setEventHandler([selfHolding] {});
    selfHolding->schedule(at(200ms), 5ms);
    selfHolding->resume();
    time.advance(100ms);
    selfHolding->cancel();
    selfHolding.reset();
    EXPECT_TRUE(watchTimer.expired()) << "cancel() releases a handler that holds its own timer";
}

TEST_F(VirtualDispatch, SemaphoreWaitRunsDueBlocksUntilSignalledOrMovesTheClockToTheTimeout) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    DispatchSemaphore semaphore(1);
    EXPECT_EQ(semaphore.wait(time.now()), DispatchTimeoutResult::success);
    int ran = 0;
    auto signal = [&] {
        ++ran;
        semaphore.signal();
    };
    queue.asyncAfter(at(10ms), [&] { ++ran; });
    queue.asyncAfter(at(40ms), signal);
    queue.asyncAfter(at(200ms), signal);

    EXPECT_EQ(semaphore.wait(at(100ms)), DispatchTimeoutResult::success);
    EXPECT_EQ(ran, 2);
    EXPECT_EQ(time.now(), at(40ms));
    EXPECT_EQ(semaphore.wait(at(100ms)), DispatchTimeoutResult::timedOut);
    EXPECT_EQ(ran, 2);
    EXPECT_EQ(time.now(), at(100ms));
    EXPECT_EQ(semaphore.wait(at(300ms)), DispatchTimeoutResult::success);
    EXPECT_EQ(time.now(), at(200ms));
    EXPECT_DEATH(semaphore.wait(), "deadlock") << "nothing left to run";
}

TEST_F(VirtualDispatch, WeaklyCallsWhileTheOwnerLivesAndDoesNothingAfterwards) {
    int total = 0;
    auto owner = std::make_shared<int*>(&total);
    std::function<void(int)> add = weakly(owner, [](int*& sum, int by) { *sum += by; });
    add(2);
    EXPECT_EQ(total, 2);

    queue.asyncAfter(at(10ms), weakly(owner, [](int*& sum) { *sum += 100; }));
    std::weak_ptr<int*> watch = owner;
    owner.reset();
    EXPECT_TRUE(watch.expired()) << "neither callback keeps the owner alive";
    add(3);
    time.advance(20ms);
    EXPECT_EQ(total, 2);
}

}  // namespace
}  // namespace velunto
