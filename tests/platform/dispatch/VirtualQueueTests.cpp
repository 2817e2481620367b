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
    auto record(std::string entry) {
        return [this, entry = std::move(entry)] { log.push_back(entry); };
    }

    VirtualTime time;
    std::vector<std::string> log;
};

TEST_F(VirtualQueues, RunsBlocksOfAllQueuesByDeadlineThenSubmissionOrder) {
    DispatchQueue a("a");
    DispatchQueue b("b");
    const auto main = DispatchQueue::main();
    const auto global = DispatchQueue::global(DispatchQoS::utility);
    a.asyncAfter(at(30ms), record("a30"));
    b.asyncAfter(at(10ms), record("b10"));
    main.asyncAfter(at(20ms), record("main20"));
    global.asyncAfter(at(20ms), record("global20"));
    a.asyncAfter(at(10ms), record("a10"));
    main.async(record("main0"));
    EXPECT_TRUE(log.empty()) << "nothing runs before the clock is advanced";
    EXPECT_EQ(time.pendingCount(), 6u);

    time.advance(100ms);

    EXPECT_EQ(log, (std::vector<std::string>{"main0", "b10", "a10", "main20", "global20", "a30"}));
    EXPECT_EQ(time.pendingCount(), 0u);
}

TEST_F(VirtualQueues, NowInsideABlockIsItsDeadlineAndTheClockEndsAtStartPlusDuration) {
    DispatchQueue q("q");
    std::vector<DispatchTime> seen;
    q.asyncAfter(at(7ms), [&] { seen.push_back(DispatchTime::now()); });
    q.asyncAfter(at(5ms), [&] { seen.push_back(DispatchTime::now()); });
    EXPECT_EQ(time.now(), at(0ms));

    time.advance(50ms);

    EXPECT_EQ(seen, (std::vector<DispatchTime>{at(5ms), at(7ms)}));
    EXPECT_EQ(time.now(), at(50ms));
    EXPECT_EQ(DispatchTime::now(), at(50ms));
    EXPECT_EQ(HostClock::nowNanoseconds(), at(50ms).uptimeNanoseconds);
}

TEST_F(VirtualQueues, BlocksSubmittedWhileAdvancingRunInTheSameAdvanceOnlyIfDueByItsEnd) {
    DispatchQueue a("a");
    DispatchQueue b("b");
    a.asyncAfter(at(10ms), [&] {
        log.push_back("first");
        a.asyncAfter(DispatchTime::now() + 20ms, record("due at 30"));
        a.asyncAfter(DispatchTime::now() + 100ms, record("due at 110"));
        b.async(record("due at 10"));
    });

    time.advance(40ms);
    EXPECT_EQ(log, (std::vector<std::string>{"first", "due at 10", "due at 30"}));
    EXPECT_EQ(time.pendingCount(), 1u);

    time.advance(69ms);
    EXPECT_EQ(log.size(), 3u) << "109 ms: still one millisecond early";
    time.advance(1ms);
    EXPECT_EQ(log.back(), "due at 110");
}

TEST_F(VirtualQueues, RunUntilIdleRunsWhatIsDueWithoutMovingTheClock) {
    DispatchQueue q("q");
    q.async([&] {
        log.push_back("now");
        q.async(record("chained"));
    });
    q.asyncAfter(at(1ns), record("later"));

    time.runUntilIdle();

    EXPECT_EQ(log, (std::vector<std::string>{"now", "chained"}));
    EXPECT_EQ(time.now(), at(0ms));
}

// One scenario with queues, delays and chained blocks, run under a fresh virtual time.
std::vector<std::string> runScenario() {
    VirtualTime time;
    std::vector<std::string> log;
    DispatchQueue camera("app.velunto.camera");
    DispatchQueue properties("app.velunto.devicemanager.properties");
    auto stamp = [&](const std::string& what) {
        log.push_back(what + "@" + std::to_string((DispatchTime::now() - at(0ms)).count()));
    };
    for (int i = 0; i < 5; ++i) {
        camera.asyncAfter(at(std::chrono::milliseconds(3 * i)), [&, i] {
            stamp("camera" + std::to_string(i));
            properties.asyncAfter(DispatchTime::now() + 4ms, [&, i] { stamp("props" + std::to_string(i)); });
            DispatchQueue::main().async([&, i] { stamp("main" + std::to_string(i)); });
        });
    }
    time.advance(30ms);
    return log;
}

TEST(VirtualTimeScenario, RunsTheSameSequenceEveryTime) {
    const auto first = runScenario();
    ASSERT_EQ(first.size(), 15u);
    EXPECT_EQ(first.front(), "camera0@0");
    EXPECT_EQ(runScenario(), first);
}

TEST_F(VirtualQueues, SyncRunsInlineInTheQueueContextAndReturnsResults) {
    DispatchQueue q("q");
    DispatchQueue other("other");
    bool inside = false;
    q.sync([&] { inside = q.isCurrent() && !other.isCurrent(); });
    EXPECT_TRUE(inside);
    EXPECT_FALSE(q.isCurrent());
    EXPECT_EQ(q.sync([] { return std::string("result"); }), "result");

    bool bothCurrent = false;
    q.async([&] { other.sync([&] { bothCurrent = q.isCurrent() && other.isCurrent(); }); });
    time.runUntilIdle();
    EXPECT_TRUE(bothCurrent) << "the caller's queue stays current inside a nested sync";

    const auto global = DispatchQueue::global();
    int nested = 0;
    global.sync([&] { global.sync([&] { nested = 1; }); });
    EXPECT_EQ(nested, 1) << "a concurrent queue can be synced onto from itself";
}

TEST_F(VirtualQueues, SyncOntoTheCurrentSerialQueueAbortsInsteadOfHanging) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    DispatchQueue q("app.velunto.camera");
    EXPECT_DEATH(q.sync([&] { q.sync([] {}); }), "deadlock.*app.velunto.camera");
    EXPECT_DEATH(DispatchQueue::main().sync([] { DispatchQueue::main().sync([] {}); }), "deadlock");
}

TEST_F(VirtualQueues, PreconditionHoldsOnlyOnTheQueue) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    DispatchQueue q("app.velunto.devicemanager.properties");
    EXPECT_DEATH(dispatchPreconditionOnQueue(q), "not on queue 'app.velunto.devicemanager.properties'");
    EXPECT_DEATH(q.sync([] { dispatchPreconditionOnQueue(DispatchQueue::main()); }), "com.apple.main-thread");
    bool passed = false;
    q.async([&] {
        dispatchPreconditionOnQueue(q);
        passed = true;
    });
    time.runUntilIdle();
    EXPECT_TRUE(passed);
}

TEST_F(VirtualQueues, LabelsAndIdentity) {
    DispatchQueue camera("app.velunto.camera");
    const DispatchQueue copy = camera;
    EXPECT_EQ(camera.label(), "app.velunto.camera");
    EXPECT_TRUE(copy == camera);
    EXPECT_FALSE(DispatchQueue("app.velunto.camera") == camera);
    EXPECT_TRUE(DispatchQueue::main() == DispatchQueue::main());
    EXPECT_EQ(DispatchQueue::main().label(), "com.apple.main-thread");
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
