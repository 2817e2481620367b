#include <gtest/gtest.h>

#include <memory>

#include "platform/dispatch/VirtualTime.h"
#include "platform/sim/SimulatedSystemExtensions.h"
#include "platform/systemextensions/OSSystemExtensionManager.h"
#include "tests/platform/systemextensions/RecordingDelegate.h"

namespace velunto {
namespace {

using Kind = SimulatedSystemExtensions::Outcome::Kind;

class SimulatedExtensionTest : public ::testing::Test {
protected:
    std::shared_ptr<RecordingDelegate> submit(
        const std::string& identifier,
        OSSystemExtensionReplacementAction answer = OSSystemExtensionReplacementActionReplace) {
        auto delegate = std::make_shared<RecordingDelegate>(queue, answer);
        auto request = OSSystemExtensionRequest::activationRequestForExtension(identifier, queue);
        request->setDelegate(delegate);
        manager.submitRequest(request);
        return delegate;
    }

    VirtualTime time;
    SimulatedSystemExtensions sim;
    DispatchQueue queue{"app.velunto.test.requests"};
    OSSystemExtensionManager& manager = OSSystemExtensionManager::sharedManager();
};

TEST_F(SimulatedExtensionTest, EachOutcomeArrivesAsynchronouslyOnTheRequestQueue) {
    sim.script("app.velunto.reboot", {Kind::willCompleteAfterReboot, {}, {}});
    sim.script("app.velunto.broken", {Kind::failure, "Die Erweiterung ist beschädigt.", {}});
    const auto plain = submit("app.velunto.plain");
    const auto reboot = submit("app.velunto.reboot");
    const auto broken = submit("app.velunto.broken");
    EXPECT_TRUE(plain->events.empty());
    EXPECT_EQ(manager.pendingRequestCount(), 3u);

    time.runUntilIdle();
    EXPECT_EQ(plain->events, std::vector<std::string>{"finished"});
    EXPECT_EQ(plain->result, OSSystemExtensionRequestResultCompleted);
    EXPECT_EQ(reboot->result, OSSystemExtensionRequestResultWillCompleteAfterReboot);
    EXPECT_EQ(broken->events, std::vector<std::string>{"failed"});
    ASSERT_TRUE(broken->error.has_value());
    EXPECT_EQ(broken->error->localizedDescription, "Die Erweiterung ist beschädigt.");
    EXPECT_EQ(broken->error->domain, OSSystemExtensionErrorDomain);
    for (const auto& delegate : {plain, reboot, broken})
        EXPECT_TRUE(delegate->allOnQueue);
    EXPECT_EQ(sim.submitted(),
              (std::vector<std::string>{"app.velunto.plain", "app.velunto.reboot", "app.velunto.broken"}));
    EXPECT_EQ(manager.pendingRequestCount(), 0u);
}

TEST_F(SimulatedExtensionTest, ApprovalWaitsUntilApprovedOrDenied) {
    sim.script("app.velunto.a", {Kind::needsApproval, {}, {}});
    sim.script("app.velunto.b", {Kind::needsApproval, {}, {}});
    const auto a = submit("app.velunto.a");
    const auto b = submit("app.velunto.b");
    time.runUntilIdle();
    EXPECT_EQ(a->events, std::vector<std::string>{"approval"});
    EXPECT_EQ(sim.waitingForApproval("app.velunto.a"), 1u);

    sim.approve("app.velunto.a");
    sim.approve("app.velunto.unknown");
    time.runUntilIdle();
    EXPECT_EQ(a->events, (std::vector<std::string>{"approval", "finished"}));
    EXPECT_EQ(a->result, OSSystemExtensionRequestResultCompleted);
    EXPECT_EQ(b->events, std::vector<std::string>{"approval"});

    sim.deny("app.velunto.b", "Nicht erlaubt.");
    time.runUntilIdle();
    ASSERT_TRUE(b->error.has_value());
    EXPECT_EQ(b->error->localizedDescription, "Nicht erlaubt.");
    EXPECT_FALSE(b->result.has_value());
    EXPECT_TRUE(a->allOnQueue && b->allOnQueue);
    EXPECT_EQ(sim.waitingForApproval("app.velunto.b"), 0u);
    EXPECT_EQ(manager.pendingRequestCount(), 0u);
}

TEST_F(SimulatedExtensionTest, InstalledVersionIsOfferedForReplacementFirst) {
    const OSSystemExtensionProperties installed{"app.velunto.cam", "3", "1.2"};
    manager.setExtensionLocation("app.velunto.cam", "/opt/velunto/cam", "4");
    sim.script("app.velunto.cam", {Kind::needsApproval, {}, installed});

    const auto replacing = submit("app.velunto.cam", OSSystemExtensionReplacementActionReplace);
    time.runUntilIdle();
    EXPECT_EQ(replacing->events, (std::vector<std::string>{"replace?", "approval"}));
    ASSERT_EQ(replacing->questions.size(), 1u);
    EXPECT_EQ(replacing->questions[0].first, installed);
    EXPECT_EQ(replacing->questions[0].second.bundleVersion, "4");
    EXPECT_EQ(replacing->questions[0].second.bundleIdentifier, "app.velunto.cam");
    sim.approve("app.velunto.cam");
    time.runUntilIdle();
    EXPECT_EQ(replacing->result, OSSystemExtensionRequestResultCompleted);

    const auto cancelling = submit("app.velunto.cam", OSSystemExtensionReplacementActionCancel);
    time.runUntilIdle();
    EXPECT_EQ(cancelling->events, (std::vector<std::string>{"replace?", "failed"}));
    EXPECT_EQ(cancelling->error->code, OSSystemExtensionErrorRequestCanceled);
    EXPECT_EQ(sim.waitingForApproval("app.velunto.cam"), 0u);
    EXPECT_EQ(sim.replacementAnswers(),
              (std::vector<OSSystemExtensionReplacementAction>{OSSystemExtensionReplacementActionReplace,
                                                               OSSystemExtensionReplacementActionCancel}));
}

TEST_F(SimulatedExtensionTest, DelegateIsHeldWeakly) {
    sim.script("app.velunto.old", {Kind::completed, {}, OSSystemExtensionProperties{"app.velunto.old", "1", "1"}});
    std::weak_ptr<RecordingDelegate> plain = submit("app.velunto.plain");
    std::weak_ptr<RecordingDelegate> asked = submit("app.velunto.old");
    EXPECT_TRUE(plain.expired());  // the request does not keep its delegate
    EXPECT_TRUE(asked.expired());
    time.runUntilIdle();
    EXPECT_EQ(manager.pendingRequestCount(), 0u);
    // Without a delegate to ask, nothing is replaced.
    EXPECT_EQ(sim.replacementAnswers(),
              std::vector<OSSystemExtensionReplacementAction>{OSSystemExtensionReplacementActionCancel});
}

TEST_F(SimulatedExtensionTest, PendingApprovalIsDroppedWithTheSimulation) {
    {
        SimulatedSystemExtensions inner;  // the newest simulation takes the requests
        inner.script("app.velunto.a", {Kind::needsApproval, {}, {}});
        const auto a = submit("app.velunto.a");
        time.runUntilIdle();
        EXPECT_EQ(inner.submitted(), std::vector<std::string>{"app.velunto.a"});
        EXPECT_EQ(manager.pendingRequestCount(), 1u);
    }
    EXPECT_EQ(manager.pendingRequestCount(), 0u);
    EXPECT_TRUE(sim.submitted().empty());
    const auto b = submit("app.velunto.b");  // the outer simulation answers again
    time.runUntilIdle();
    EXPECT_EQ(sim.submitted(), std::vector<std::string>{"app.velunto.b"});
    EXPECT_EQ(b->result, OSSystemExtensionRequestResultCompleted);
}

}  // namespace
}  // namespace velunto
