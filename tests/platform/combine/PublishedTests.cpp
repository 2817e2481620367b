#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/combine/AnyCancellable.h"
#include "platform/combine/Published.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/VirtualTime.h"

namespace velunto {
namespace {

struct NotComparable {
    int value = 0;
};

template <class Options>
concept HasRemoveDuplicates = requires(Options o) {
    o.removeDuplicates;
};
static_assert(HasRemoveDuplicates<Published<int>::SinkOptions>);
static_assert(!HasRemoveDuplicates<Published<NotComparable>::SinkOptions>,
              "removeDuplicates must not compile for a type without operator==");

class PublishedTest : public ::testing::Test {
protected:
    VirtualTime time;
    Published<int> level{0};
    std::vector<int> received;
    std::vector<AnyCancellable> tokens;
};

TEST_F(PublishedTest, WillSetRunsBeforeTheStoreAndSinksGetTheCurrentThenEachStoredValue) {
    level = 5;
    std::vector<std::string> log;  // "<event>@<value stored at that moment>"
    auto note = [&](const std::string& event) { log.push_back(event + "@" + std::to_string(level.value())); };
    level.willSet([&](const int& from, const int& to) { note(std::to_string(from) + "->" + std::to_string(to)); })
        .store(tokens);
    level.sink([&](const int& v) { note("sink " + std::to_string(v)); }).store(tokens);
    level.sink([&](const int& v) { received.push_back(v); }, {.initial = false}).store(tokens);

    level = 6;

    EXPECT_EQ(log, (std::vector<std::string>{"sink 5@5", "5->6@5", "sink 6@6"}));
    EXPECT_EQ(received, (std::vector<int>{6}));
}

TEST_F(PublishedTest, QueueSubscribersGetCopiesInOrderOnTheirQueueAndNothingOnceCancelled) {
    DispatchQueue ui("app.velunto.ui");
    level.sink(ui, [&](const int& v) { received.push_back(ui.isCurrent() ? v : -1); }).store(tokens);
    std::vector<int> cancelledGot;
    auto queued = level.sink(ui, [&](const int& v) { cancelledGot.push_back(v); });
    int willSetCalls = 0;
    auto willSetToken = level.willSet([&](const int&, const int&) { ++willSetCalls; });
    level = 1;
    level = 2;
    EXPECT_TRUE(received.empty()) << "nothing is delivered synchronously, not even the initial value";
    queued.cancel();  // with three deliveries still queued
    willSetToken.cancel();
    level = 3;

    time.runUntilIdle();

    EXPECT_EQ(received, (std::vector<int>{0, 1, 2, 3})) << "copies taken at set() time, delivered on ui";
    EXPECT_TRUE(cancelledGot.empty());
    EXPECT_EQ(willSetCalls, 2);
}

TEST_F(PublishedTest, RemoveDuplicatesSkipsValuesEqualToThePreviousOne) {
    DispatchQueue ui("app.velunto.ui");
    std::vector<int> async;
    level.sink([&](const int& v) { received.push_back(v); }, {.initial = false, .removeDuplicates = true})
        .store(tokens);
    level.sink(ui, [&](const int& v) { async.push_back(v); }, {.removeDuplicates = true}).store(tokens);
    std::vector<int> all;
    level.sink([&](const int& v) { all.push_back(v); }, {.initial = false}).store(tokens);

    for (int v : {0, 1, 1, 2, 2, 1})
        level = v;
    time.runUntilIdle();

    EXPECT_EQ(received, (std::vector<int>{1, 2, 1}));
    EXPECT_EQ(async, (std::vector<int>{0, 1, 2, 1}));
    EXPECT_EQ(all, (std::vector<int>{0, 1, 1, 2, 2, 1}));
}

TEST_F(PublishedTest, SubscribersMayCancelThemselvesOrOthersAndSubscribeFromCallbacks) {
    std::optional<AnyCancellable> self;
    std::optional<AnyCancellable> victim;
    std::optional<AnyCancellable> late;
    std::vector<int> victimGot;
    std::vector<int> lateGot;
    self = level.sink(
        [&](const int& v) {
            received.push_back(v);
            if (v == 2) {
                self->cancel();
                victim->cancel();
                late = level.sink([&](const int& w) { lateGot.push_back(w); });
            }
        },
        {.initial = false});
    victim = level.sink([&](const int& v) { victimGot.push_back(v); }, {.initial = false});

    level = 1;
    level = 2;
    level = 3;

    EXPECT_EQ(received, (std::vector<int>{1, 2}));
    EXPECT_EQ(victimGot, (std::vector<int>{1})) << "cancelled before its turn in the same set()";
    EXPECT_EQ(lateGot, (std::vector<int>{2, 3}));
}

TEST_F(PublishedTest, WorksForTypesWithoutEqualityAndTokensMayOutliveThePublished) {
    AnyCancellable token;
    {
        Published<NotComparable> thing;
        token = thing.sink([&](const NotComparable& t) { received.push_back(t.value); });
        thing = NotComparable{4};
    }
    token.cancel();
    EXPECT_EQ(received, (std::vector<int>{0, 4}));
}

TEST(AnyCancellableTest, MovingTransfersTheSubscriptionAndAssignmentOrDestructionCancelsOnce) {
    int cancelled = 0;
    AnyCancellable a([&] { ++cancelled; });
    AnyCancellable moved(std::move(a));
    a.cancel();
    EXPECT_EQ(cancelled, 0) << "a moved-from token owns nothing";

    moved = AnyCancellable([&] { cancelled += 10; });
    EXPECT_EQ(cancelled, 1) << "assignment cancels the old subscription";
    moved.cancel();
    moved.cancel();
    EXPECT_EQ(cancelled, 11);

    std::vector<AnyCancellable> set;
    AnyCancellable([&] { cancelled += 100; }).store(set);
    EXPECT_EQ(cancelled, 11);
    set.clear();
    EXPECT_EQ(cancelled, 111);
}

}  // namespace
}  // namespace velunto
