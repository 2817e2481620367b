#include <gtest/gtest.h>

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
    EXPECT_FALSE(item->isCancelled());

    item->perform();
    EXPECT_EQ(runs, 2);
    item->cancel();
    EXPECT_TRUE(item->isCancelled());
    item->perform();
    queue.async(item);
    time.runUntilIdle();
    EXPECT_EQ(runs, 2);
}

TEST_F(VirtualDispatch, RepeatingTimerFiresAtFirstDeadlineThenEveryIntervalIgnoringLeeway) {
    auto timer = recordingTimer();
    timer->schedule(at(100ms), 30ms, 10ms);
    timer->resume();
    time.advance(199ms);
    EXPECT_EQ(firings, (std::vector<long>{100, 130, 160, 190}));
}

TEST_F(VirtualDispatch, TimerStaysSuspendedUntilResumed) {
    auto timer = recordingTimer();
    timer->schedule(at(10ms));
    time.advance(50ms);
    EXPECT_TRUE(firings.empty());
    EXPECT_EQ(time.pendingCount(), 0u);

    timer->resume();
    time.runUntilIdle();
    EXPECT_EQ(firings, (std::vector<long>{50})) << "a deadline that passed while suspended fires on resume";
}

TEST_F(VirtualDispatch, OneShotTimerFiresOnceAndReschedulingReplacesTheSchedule) {
    auto timer = recordingTimer();
    timer->resume();
    timer->schedule(at(40ms));
    time.advance(1s);
    EXPECT_EQ(firings, (std::vector<long>{40}));

    timer->schedule(at(1100ms), 10ms);
    timer->schedule(at(1020ms), 50ms);
    time.advance(130ms);
    EXPECT_EQ(firings, (std::vector<long>{40, 1020, 1070, 1120}));
}

TEST_F(VirtualDispatch, TimerCancelledInsideItsOwnHandlerStops) {
    auto timer = DispatchSourceTimer::make(queue);
    int count = 0;
    timer->setEventHandler([&count, raw = timer.get()] {
        if (++count == 3)
            raw->cancel();
    });
    timer->schedule(at(10ms), 10ms);
    timer->resume();
    time.advance(1s);
    EXPECT_EQ(count, 3);
    EXPECT_TRUE(timer->isCancelled());
}

TEST_F(VirtualDispatch, TimerCancelledFromOutsideStopsAndCannotBeRevived) {
    auto timer = recordingTimer();
    timer->schedule(at(10ms), 10ms);
    timer->resume();
    time.advance(35ms);
    timer->cancel();
    timer->schedule(at(40ms), 10ms);
    timer->resume();
    time.advance(100ms);
    EXPECT_EQ(firings, (std::vector<long>{10, 20, 30}));
}

TEST_F(VirtualDispatch, TimerDoesNotKeepItselfAlive) {
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> watch = token;
    auto timer = DispatchSourceTimer::make(queue);
    timer->setEventHandler([token] { ++*token; });
    token.reset();
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

TEST_F(VirtualDispatch, SemaphoreWaitRunsQueuedBlocksUntilSignalled) {
    DispatchSemaphore semaphore(0);
    std::vector<int> order;
    queue.asyncAfter(at(10ms), [&] { order.push_back(1); });
    queue.asyncAfter(at(40ms), [&] {
        order.push_back(2);
        semaphore.signal();
    });
    queue.asyncAfter(at(60ms), [&] { order.push_back(3); });

    EXPECT_EQ(semaphore.wait(at(100ms)), DispatchTimeoutResult::success);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_EQ(time.now(), at(40ms));
    EXPECT_EQ(time.pendingCount(), 1u);
}

TEST_F(VirtualDispatch, SemaphoreTimesOutAtTheTimeoutWhenNothingSignalsInTime) {
    DispatchSemaphore semaphore(1);
    EXPECT_EQ(semaphore.wait(time.now()), DispatchTimeoutResult::success);
    int late = 0;
    queue.asyncAfter(at(200ms), [&] {
        ++late;
        semaphore.signal();
    });
    EXPECT_EQ(semaphore.wait(at(100ms)), DispatchTimeoutResult::timedOut);
    EXPECT_EQ(time.now(), at(100ms));
    EXPECT_EQ(late, 0);
    EXPECT_EQ(semaphore.wait(at(300ms)), DispatchTimeoutResult::success);
    EXPECT_EQ(time.now(), at(200ms));
}

TEST_F(VirtualDispatch, SemaphoreWaitWithNothingToRunAbortsAsDeadlock) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    DispatchSemaphore semaphore(0);
    EXPECT_DEATH(semaphore.wait(), "deadlock");
}

struct Counter : std::enable_shared_from_this<Counter> {
    explicit Counter(int* sum) : total(sum) {}
    std::function<void(int)> adder() {
        return weakly(shared_from_this(), [](Counter& c, int by) { *c.total += by; });
    }
    int* total;
};

TEST_F(VirtualDispatch, WeaklyCallsWhileTheOwnerLivesAndDoesNothingAfterwards) {
    int total = 0;
    auto counter = std::make_shared<Counter>(&total);
    std::function<void(int)> add = counter->adder();
    add(2);
    EXPECT_EQ(total, 2);

    queue.asyncAfter(at(10ms), weakly(counter, [](Counter& c) { *c.total += 100; }));
    std::weak_ptr<Counter> watch = counter;
    counter.reset();
    EXPECT_TRUE(watch.expired()) << "neither callback keeps the owner alive";
    add(3);
    time.advance(20ms);
    EXPECT_EQ(total, 2);
}

}  // namespace
}  // namespace velunto
