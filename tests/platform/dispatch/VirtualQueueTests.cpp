#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/HostClock.h"
#include "platform/dispatch/VirtualTime.h"

namespace velunto {
namespace {

using namespace std::chrono_literals;

DispatchTime at(std::chrono::nanoseconds offset) {
    return DispatchTime{VirtualTime::kStartNanoseconds} + offset;
}

class VirtualQueues : public ::testing::Test {
protected:
    // Logs "entry@<virtual ms at which it ran>".
    auto record(std::string entry) {
        return [this, entry = std::move(entry)] {
            log.push_back(entry + "@" + std::to_string((DispatchTime::now() - at(0ms)) / 1ms));
        };
    }

    VirtualTime time;
    std::vector<std::string> log;
};

TEST_F(VirtualQueues, RunsBlocksOfAllQueuesAtTheirDeadlineInDeadlineThenSubmissionOrder) {
    DispatchQueue a("a");
    DispatchQueue b("b");
    const auto main = DispatchQueue::main();
    const auto global = DispatchQueue::global(DispatchQoS::utility);
    a.asyncAfter(at(30ms), record("a"));
    b.asyncAfter(at(10ms), record("b"));
    main.asyncAfter(at(20ms), record("main"));
    global.asyncAfter(at(20ms), record("global"));
    a.asyncAfter(at(10ms), record("a"));
    main.async(record("main"));
    EXPECT_TRUE(log.empty()) << "nothing runs before the clock is advanced";
    EXPECT_EQ(time.pendingCount(), 6u);

    time.advance(100ms);

    EXPECT_EQ(log, (std::vector<std::string>{"main@0", "b@10", "a@10", "main@20", "global@20", "a@30"}));
    EXPECT_EQ(time.pendingCount(), 0u);
    EXPECT_EQ(DispatchTime::now(), at(100ms));
    EXPECT_EQ(HostClock::nowNanoseconds(), at(100ms).uptimeNanoseconds);
}

TEST_F(VirtualQueues, BlocksSubmittedWhileRunningRunInTheSameAdvanceOnlyIfDueByItsEnd) {
    DispatchQueue a("a");
    DispatchQueue b("b");
    a.async([&] { b.async(record("chained")); });
    a.asyncAfter(at(10ms), [&] {
        a.asyncAfter(DispatchTime::now() + 20ms, record("+20"));
        a.asyncAfter(DispatchTime::now() + 100ms, record("+100"));
        b.async(record("now"));
    });

    time.runUntilIdle();
    EXPECT_EQ(log, (std::vector<std::string>{"chained@0"}));
    EXPECT_EQ(time.now(), at(0ms)) << "runUntilIdle does not move the clock";

    time.advance(40ms);
    EXPECT_EQ(log, (std::vector<std::string>{"chained@0", "now@10", "+20@30"}));
    time.advance(69ms);
    EXPECT_EQ(log.size(), 3u) << "109 ms: still one millisecond early";
    time.advance(1ms);
    EXPECT_EQ(log.back(), "+100@110");
}

TEST_F(VirtualQueues, SyncRunsInlineInTheQueueContextAndReturnsResults) {
    DispatchQueue q("q");
    DispatchQueue other("other");
    EXPECT_TRUE(q.sync([&] { return q.isCurrent() && !other.isCurrent(); }));
    EXPECT_FALSE(q.isCurrent());

    bool bothCurrent = false;
    q.async([&] { bothCurrent = other.sync([&] { return q.isCurrent() && other.isCurrent(); }); });
    time.runUntilIdle();
    EXPECT_TRUE(bothCurrent) << "the caller's queue stays current inside a nested sync";

    const auto global = DispatchQueue::global();
    EXPECT_EQ(global.sync([&] { return global.sync([] { return 7; }); }), 7)
        << "a concurrent queue can be synced onto from itself";
}

TEST_F(VirtualQueues, SyncOntoTheCurrentSerialQueueAbortsAndPreconditionHoldsOnlyOnTheQueue) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    DispatchQueue q("app.velunto.camera");
    EXPECT_DEATH(q.sync([&] { q.sync([] {}); }), "deadlock.*app.velunto.camera");
    EXPECT_DEATH(DispatchQueue::main().sync([] { DispatchQueue::main().sync([] {}); }), "deadlock");
    EXPECT_DEATH(dispatchPreconditionOnQueue(q), "not on queue 'app.velunto.camera'");
    EXPECT_DEATH(q.sync([] { dispatchPreconditionOnQueue(DispatchQueue::main()); }), "com.apple.main-thread");
    bool passed = false;
    q.async([&] {
        dispatchPreconditionOnQueue(q);
        passed = true;
    });
    time.runUntilIdle();
    EXPECT_TRUE(passed);
}

TEST_F(VirtualQueues, IdentityAndGlobalLabels) {
    DispatchQueue camera("app.velunto.camera");
    const DispatchQueue copy = camera;
    EXPECT_TRUE(copy == camera);
    EXPECT_FALSE(DispatchQueue("app.velunto.camera") == camera);
    EXPECT_TRUE(DispatchQueue::main() == DispatchQueue::main());
    EXPECT_FALSE(DispatchQueue::global(DispatchQoS::utility) == DispatchQueue::global());
    EXPECT_EQ(DispatchQueue::global().label(), "com.apple.root.default-qos");
    EXPECT_EQ(DispatchQueue::global(DispatchQoS::userInitiated).label(), "com.apple.root.user-initiated-qos");
}

TEST(VirtualTimeLifetime, EndingDiscardsPendingBlocksAndRestoresTheHostClock) {
    auto captured = std::make_shared<int>(0);
    std::weak_ptr<int> watch = captured;
    std::optional<DispatchQueue> survivor;
    {
        VirtualTime time;
        survivor.emplace("survivor");
        survivor->asyncAfter(at(1s), [captured, q = *survivor] { ++*captured; });
        captured.reset();
        ASSERT_FALSE(watch.expired());
    }
    EXPECT_TRUE(watch.expired()) << "pending blocks (and the queues they hold) are released";

    int ran = 0;
    survivor->async([&] { ++ran; });  // a queue of the ended virtual time ignores new work
    EXPECT_EQ(ran, 0);

    const std::uint64_t before = HostClock::monotonicNanoseconds();
    const std::uint64_t now = DispatchTime::now().uptimeNanoseconds;
    EXPECT_LE(before, now);
    EXPECT_LE(now, HostClock::monotonicNanoseconds());
}

}  // namespace
}  // namespace velunto
