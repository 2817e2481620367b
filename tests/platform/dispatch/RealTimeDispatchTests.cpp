#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/DispatchSemaphore.h"
#include "platform/dispatch/DispatchSourceTimer.h"
#include "platform/dispatch/MainRunLoop.h"

namespace velunto {
namespace {

using namespace std::chrono_literals;

// A generous bound for waits that succeed within microseconds unless something is broken.
DispatchTime patience() {
    return DispatchTime::now() + 20s;
}

TEST(RealDispatch, SerialQueueRunsBlocksOneAtATimeInSubmissionOrder) {
    DispatchQueue queue("app.velunto.test.serial");
    constexpr int kProducers = 4;
    constexpr int kPerProducer = 300;
    std::vector<int> next(kProducers, 0);  // per producer, the index due next; touched only on the queue
    int inside = 0;                        // ditto: a data race if blocks overlapped
    std::atomic<int> faults{0};
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < kPerProducer; ++i) {
                auto block = [&, p, i] {
                    if (++inside != 1)
                        ++faults;
                    if (next[static_cast<std::size_t>(p)]++ != i)
                        ++faults;
                    --inside;
                };
                i % 50 == 0 ? queue.sync(block) : queue.async(block);  // a sync must not overtake earlier asyncs
            }
        });
    }
    for (auto& t : producers)
        t.join();
    queue.sync([] {});

    EXPECT_EQ(faults.load(), 0);
    EXPECT_EQ(next, std::vector<int>(kProducers, kPerProducer));

    DispatchQueue other("app.velunto.test.other");
    EXPECT_TRUE(queue.sync([&] { return other.sync([&] { return queue.isCurrent() && other.isCurrent(); }); }))
        << "a nested sync keeps the caller's queue current";
}

TEST(RealDispatch, GlobalQueueRunsBlocksConcurrently) {
    // Each block waits for the other one to start: only a concurrent queue lets both succeed.
    DispatchSemaphore started[2]{DispatchSemaphore(0), DispatchSemaphore(0)};
    DispatchSemaphore finished(0);
    std::atomic<int> met{0};
    for (int i = 0; i < 2; ++i) {
        DispatchQueue::global(DispatchQoS::userInitiated).async([&, i] {
            started[i].signal();
            if (started[1 - i].wait(patience()) == DispatchTimeoutResult::success)
                ++met;
            finished.signal();
        });
    }
    ASSERT_EQ(finished.wait(patience()), DispatchTimeoutResult::success);
    ASSERT_EQ(finished.wait(patience()), DispatchTimeoutResult::success);
    EXPECT_EQ(met.load(), 2);
}

TEST(RealDispatch, AsyncAfterNeverRunsBeforeItsDeadline) {
    DispatchQueue serial("app.velunto.test.delayed");
    const DispatchQueue queues[] = {serial, DispatchQueue::global()};
    for (const auto& queue : queues) {
        DispatchSemaphore done(0);
        const DispatchTime deadline = DispatchTime::now() + 15ms;
        DispatchTime ranAt;
        queue.asyncAfter(deadline, [&] {
            ranAt = DispatchTime::now();
            done.signal();
        });
        queue.async([] {});  // an earlier block must not wake the delayed one early
        ASSERT_EQ(done.wait(patience()), DispatchTimeoutResult::success);
        EXPECT_GE(ranAt, deadline) << queue.label();
    }
}

TEST(RealDispatch, DroppingTheLastHandleRunsDueBlocksEvenFromInsideTheQueue) {
    std::atomic<int> ran{0};
    {
        DispatchQueue queue("app.velunto.test.drop");
        for (int i = 0; i < 20; ++i)
            queue.async([&] { ++ran; });
    }
    EXPECT_EQ(ran.load(), 20) << "the last handle's destructor waits for the due blocks";

    DispatchSemaphore done(0);
    bool wasCurrent = false;
    {
        DispatchQueue queue("app.velunto.test.self");
        queue.async([queue, &done, &wasCurrent] {  // this block holds the last handle
            wasCurrent = queue.isCurrent();
            done.signal();
        });
    }
    ASSERT_EQ(done.wait(patience()), DispatchTimeoutResult::success);
    EXPECT_TRUE(wasCurrent);
}

TEST(RealDispatch, MainRunLoopRunsMainBlocksOnTheDrivingThreadUntilStoppedFromAnyThread) {
    std::atomic<int> wakeUps{0};
    MainRunLoop::setWakeUpHandler([&] { ++wakeUps; });
    std::thread::id ranOn;
    std::thread poster([&] {
        DispatchQueue::main().async([&] { ranOn = std::this_thread::get_id(); });
        DispatchQueue::main().sync([] {});  // waits for the loop on the test thread
        MainRunLoop::stop();
    });
    MainRunLoop::run();
    poster.join();
    MainRunLoop::setWakeUpHandler(nullptr);
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_GE(wakeUps.load(), 1);
    EXPECT_TRUE(DispatchQueue::main().isCurrent()) << "the driving thread is the main thread";

    bool stoppedFromMain = false;
    DispatchQueue::main().asyncAfter(DispatchTime::now() + 5ms, [&] {
        stoppedFromMain = true;
        MainRunLoop::stop();
    });
    MainRunLoop::run();
    EXPECT_TRUE(stoppedFromMain);
}

TEST(RealDispatch, PerformDueItemsRunsOnlyWhatIsDue) {
    bool due = false;
    const DispatchTime far = DispatchTime::now() + 1h;
    auto farItem = DispatchWorkItem::make([] { ADD_FAILURE() << "ran an hour early"; });
    DispatchQueue::main().asyncAfter(far, farItem);
    DispatchQueue::main().async([&] { due = true; });
    EXPECT_LE(MainRunLoop::nextDeadline().value_or(far), DispatchTime::now());

    MainRunLoop::performDueItems();
    EXPECT_TRUE(due);
    const auto next = MainRunLoop::nextDeadline();
    ASSERT_TRUE(next.has_value());
    EXPECT_GT(*next, DispatchTime::now()) << "the due block is gone";
    EXPECT_LE(*next, far);
    EXPECT_FALSE(MainRunLoop::runFor(1ms));
    farItem->cancel();
}

TEST(RealDispatch, TimerNeverFiresEarlyAndNoMoreOnceCancelledFromAnotherThread) {
    DispatchQueue queue("app.velunto.test.timer");
    auto timer = DispatchSourceTimer::make(queue);
    DispatchSemaphore thirdTick(0);
    std::vector<DispatchTime> firedAt;  // only touched on the queue
    timer->setEventHandler([&] {
        firedAt.push_back(DispatchTime::now());
        if (firedAt.size() == 3)
            thirdTick.signal();
    });
    const DispatchTime first = DispatchTime::now() + 2ms;
    timer->schedule(first, 1ms);
    timer->resume();
    ASSERT_EQ(thirdTick.wait(patience()), DispatchTimeoutResult::success);

    timer->cancel();
    const auto atCancel = queue.sync([&] { return firedAt; });  // a tick already running has finished
    EXPECT_EQ(DispatchSemaphore(0).wait(DispatchTime::now() + 10ms), DispatchTimeoutResult::timedOut);
    EXPECT_EQ(queue.sync([&] { return firedAt.size(); }), atCancel.size());
    EXPECT_GE(atCancel.front(), first);
    EXPECT_EQ(std::adjacent_find(atCancel.begin(), atCancel.end(), std::greater_equal<>()), atCancel.end());
}

TEST(RealDispatch, SemaphoreHandsSignalsAcrossThreads) {
    constexpr int kCount = 500;
    DispatchSemaphore items(0);
    std::thread producer([&] {
        for (int i = 0; i < kCount; ++i)
            items.signal();
    });
    int received = 0;
    for (int i = 0; i < kCount; ++i)
        received += items.wait(patience()) == DispatchTimeoutResult::success ? 1 : 0;
    producer.join();
    EXPECT_EQ(received, kCount);
    EXPECT_EQ(items.wait(DispatchTime::now() + 1ms), DispatchTimeoutResult::timedOut);
}

}  // namespace
}  // namespace velunto
