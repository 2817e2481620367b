#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
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

// Drives the main run loop on this thread until done() or the patience runs out.
template <class Done>
bool runMainUntil(Done done) {
    const DispatchTime limit = patience();
    while (!done() && DispatchTime::now() < limit)
        MainRunLoop::runFor(10ms);
    return done();
}

TEST(RealDispatch, SerialQueueRunsBlocksOneAtATimeInSubmissionOrder) {
    DispatchQueue queue("app.velunto.test.serial");
    constexpr int kProducers = 4;
    constexpr int kPerProducer = 300;
    std::vector<std::vector<int>> seen(kProducers);  // touched only on the queue
    int inside = 0;                                  // ditto: a data race if blocks overlapped
    std::atomic<int> overlaps{0};
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < kPerProducer; ++i) {
                auto block = [&, p, i] {
                    if (++inside != 1)
                        ++overlaps;
                    seen[static_cast<std::size_t>(p)].push_back(i);
                    --inside;
                };
                if (i % 50 == 0) {
                    queue.sync(block);
                } else {
                    queue.async(block);
                }
            }
        });
    }
    for (auto& t : producers)
        t.join();
    queue.sync([] {});

    EXPECT_EQ(overlaps.load(), 0);
    for (const auto& s : seen) {
        ASSERT_EQ(s.size(), static_cast<std::size_t>(kPerProducer));
        for (int i = 0; i < kPerProducer; ++i)
            EXPECT_EQ(s[static_cast<std::size_t>(i)], i);
    }
}

TEST(RealDispatch, GlobalQueueRunsBlocksConcurrently) {
    // Each block waits for the other one to start: only a concurrent queue lets both succeed.
    DispatchSemaphore firstStarted(0);
    DispatchSemaphore secondStarted(0);
    DispatchSemaphore finished(0);
    std::atomic<int> met{0};
    const auto global = DispatchQueue::global(DispatchQoS::userInitiated);
    global.async([&] {
        firstStarted.signal();
        if (secondStarted.wait(patience()) == DispatchTimeoutResult::success)
            ++met;
        finished.signal();
    });
    global.async([&] {
        secondStarted.signal();
        if (firstStarted.wait(patience()) == DispatchTimeoutResult::success)
            ++met;
        finished.signal();
    });
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

TEST(RealDispatch, SyncWaitsForEarlierBlocksAndRunsOnTheQueue) {
    DispatchQueue first("app.velunto.test.first");
    DispatchQueue second("app.velunto.test.second");
    std::vector<int> order;
    first.async([&] { order.push_back(1); });
    bool onBoth = false;
    const int result = first.sync([&] {
        order.push_back(2);
        second.sync([&] { onBoth = first.isCurrent() && second.isCurrent(); });
        return 42;
    });
    EXPECT_EQ(result, 42);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_TRUE(onBoth);
    EXPECT_FALSE(first.isCurrent());
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

TEST(RealDispatch, MainRunLoopRunsMainBlocksOnTheDrivingThreadUntilStopped) {
    std::atomic<int> wakeUps{0};
    MainRunLoop::setWakeUpHandler([&] { ++wakeUps; });
    std::atomic<int> done{0};
    std::thread::id ranOn;
    std::thread poster([&] {
        DispatchQueue::main().async([&] {
            ranOn = std::this_thread::get_id();
            ++done;
        });
        DispatchQueue::main().sync([&] { ++done; });  // waits for the loop on the test thread
    });
    EXPECT_TRUE(runMainUntil([&] { return done.load() == 2; }));
    poster.join();
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_GE(wakeUps.load(), 1);
    EXPECT_TRUE(DispatchQueue::main().isCurrent()) << "the driving thread is the main thread";
    MainRunLoop::setWakeUpHandler(nullptr);

    bool stoppedFromMain = false;
    DispatchQueue::main().asyncAfter(DispatchTime::now() + 5ms, [&] {
        stoppedFromMain = true;
        MainRunLoop::stop();
    });
    MainRunLoop::run();
    EXPECT_TRUE(stoppedFromMain);

    DispatchQueue::global().async([] { MainRunLoop::stop(); });
    MainRunLoop::run();  // returns once the other thread stops it
}

TEST(RealDispatch, PerformDueItemsRunsOnlyWhatIsDue) {
    bool due = false;
    bool later = false;
    const DispatchTime far = DispatchTime::now() + 1h;
    auto farItem = DispatchWorkItem::make([&] { later = true; });
    DispatchQueue::main().asyncAfter(far, farItem);
    DispatchQueue::main().async([&] { due = true; });
    ASSERT_TRUE(MainRunLoop::nextDeadline().has_value());
    EXPECT_LE(*MainRunLoop::nextDeadline(), DispatchTime::now());

    MainRunLoop::performDueItems();
    EXPECT_TRUE(due);
    EXPECT_FALSE(later);
    ASSERT_TRUE(MainRunLoop::nextDeadline().has_value());
    EXPECT_LE(*MainRunLoop::nextDeadline(), far);
    EXPECT_FALSE(MainRunLoop::runFor(1ms));
    farItem->cancel();
}

TEST(RealDispatch, TimerCancelledFromAnotherThreadFiresNoMore) {
    DispatchQueue queue("app.velunto.test.timer");
    auto timer = DispatchSourceTimer::make(queue);
    DispatchSemaphore thirdTick(0);
    int ticks = 0;  // only touched on the queue
    std::vector<DispatchTime> firedAt;
    timer->setEventHandler([&] {
        firedAt.push_back(DispatchTime::now());
        if (++ticks == 3)
            thirdTick.signal();
    });
    const DispatchTime first = DispatchTime::now() + 2ms;
    timer->schedule(first, 1ms);
    timer->resume();
    ASSERT_EQ(thirdTick.wait(patience()), DispatchTimeoutResult::success);

    timer->cancel();
    EXPECT_TRUE(timer->isCancelled());
    const int atCancel = queue.sync([&] { return ticks; });  // a tick already running has finished
    DispatchSemaphore later(0);
    queue.asyncAfter(DispatchTime::now() + 10ms, [&] { later.signal(); });
    ASSERT_EQ(later.wait(patience()), DispatchTimeoutResult::success);
    EXPECT_EQ(queue.sync([&] { return ticks; }), atCancel);

    queue.sync([&] {
        ASSERT_GE(firedAt.size(), 3u);
        EXPECT_GE(firedAt[0], first);
        for (std::size_t i = 1; i < firedAt.size(); ++i)
            EXPECT_GT(firedAt[i], firedAt[i - 1]);
    });
}

TEST(RealDispatch, SemaphoreHandsSignalsAcrossThreads) {
    DispatchSemaphore items(0);
    DispatchSemaphore empty(0);
    EXPECT_EQ(empty.wait(DispatchTime::now() + 1ms), DispatchTimeoutResult::timedOut);

    constexpr int kCount = 500;
    std::thread producer([&] {
        for (int i = 0; i < kCount; ++i)
            items.signal();
    });
    int received = 0;
    for (int i = 0; i < kCount; ++i) {
        if (items.wait(patience()) == DispatchTimeoutResult::success)
            ++received;
    }
    producer.join();
    EXPECT_EQ(received, kCount);
    EXPECT_EQ(items.wait(DispatchTime::now()), DispatchTimeoutResult::timedOut);
}

}  // namespace
}  // namespace velunto
