#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <thread>

#include "platform/oslog/LogCapture.h"
#include "platform/systemextensions/ExtensionStateStore.h"
#include "platform/systemextensions/OSSystemExtensionManager.h"
#include "tests/platform/systemextensions/RecordingDelegate.h"

extern char** environ;

namespace velunto {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string kProgram = VELUNTO_TEST_EXTENSION;

bool waitFor(const std::function<bool()>& condition, std::chrono::seconds limit = 30s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

std::size_t countLogs(const LogCapture& capture, const std::string& part) {
    std::size_t count = 0;
    for (const auto& entry : capture.entries("Supervisor"))
        count += entry.message.find(part) != std::string::npos ? 1 : 0;
    return count;
}

class ExtensionProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/velunto-sysext-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root = pattern;
        if (const char* old = std::getenv("XDG_RUNTIME_DIR"))
            savedRuntimeDir = old;
        ::setenv("XDG_RUNTIME_DIR", root.c_str(), 1);
        ExtensionRestartPolicy policy;
        policy.firstRestartDelay = 50ms;
        policy.terminationGrace = 2000ms;
        policy.pollInterval = 50ms;
        policy.maxRestartsPerMinute = 3;
        manager.setRestartPolicy(policy);
    }

    void TearDown() override {
        for (const auto& identifier : used)
            run(OSSystemExtensionRequest::deactivationRequestForExtension(identifier, queue));
        // Anything a failed test left behind.
        for (const pid_t pid : started)
            if (pid != ::getpid() && ExtensionStateStore::isRunning(pid, kProgram))
                ::kill(pid, SIGKILL);
        if (savedRuntimeDir)
            ::setenv("XDG_RUNTIME_DIR", savedRuntimeDir->c_str(), 1);
        else
            ::unsetenv("XDG_RUNTIME_DIR");
        fs::remove_all(root);
    }

    std::shared_ptr<RecordingDelegate> run(
        std::shared_ptr<OSSystemExtensionRequest> request,
        OSSystemExtensionReplacementAction answer = OSSystemExtensionReplacementActionReplace) {
        auto delegate = std::make_shared<RecordingDelegate>(queue, answer);
        request->setDelegate(delegate);
        manager.submitRequest(request);
        EXPECT_TRUE(delegate->waitUntilDone());
        EXPECT_TRUE(delegate->allOnQueue);
        return delegate;
    }

    std::shared_ptr<RecordingDelegate> activate(
        const std::string& identifier, const std::string& program, const std::string& version,
        OSSystemExtensionReplacementAction answer = OSSystemExtensionReplacementActionReplace) {
        used.insert(identifier);
        manager.setExtensionLocation(identifier, program, version);
        auto delegate = run(OSSystemExtensionRequest::activationRequestForExtension(identifier, queue), answer);
        if (const auto record = store().read(identifier))
            started.insert(record->pid);
        return delegate;
    }

    ExtensionStateStore store() const { return ExtensionStateStore(); }

    pid_t runningPid(const std::string& identifier) const {
        const auto record = store().readLive(identifier);
        return record ? record->pid : 0;
    }

    fs::path root;
    std::optional<std::string> savedRuntimeDir;
    std::set<std::string> used;
    std::set<pid_t> started;
    DispatchQueue queue{"app.velunto.test.requests"};
    OSSystemExtensionManager& manager = OSSystemExtensionManager::sharedManager();
};

TEST_F(ExtensionProcessTest, StartsDetachedAndKeepsOneInstancePerVersion) {
    const auto first = activate("app.velunto.ext", kProgram, "7");
    ASSERT_EQ(first->result, OSSystemExtensionRequestResultCompleted);
    EXPECT_EQ(store().directory(), root / "velunto" / "extensions");
    const auto record = store().read("app.velunto.ext");
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->bundleVersion, "7");
    EXPECT_TRUE(ExtensionStateStore::isRunning(record->pid, kProgram));
    EXPECT_EQ(::getsid(record->pid), record->pid);
    EXPECT_TRUE(waitFor([&] {
        std::ifstream log(store().logPath("app.velunto.ext"));
        std::string line;
        return std::getline(log, line) && line == "extension " + std::to_string(record->pid) + " running";
    }));

    const auto second = activate("app.velunto.ext", kProgram, "7");
    EXPECT_EQ(second->events, std::vector<std::string>{"finished"});
    EXPECT_EQ(runningPid("app.velunto.ext"), record->pid);
}

TEST_F(ExtensionProcessTest, AnotherVersionIsReplacedOnlyWhenTheDelegateAgrees) {
    activate("app.velunto.ext", kProgram, "1");
    const pid_t old = runningPid("app.velunto.ext");
    ASSERT_NE(old, 0);

    const auto replacing = activate("app.velunto.ext", kProgram, "2");
    EXPECT_EQ(replacing->events, (std::vector<std::string>{"replace?", "finished"}));
    ASSERT_EQ(replacing->questions.size(), 1u);
    EXPECT_EQ(replacing->questions[0].first.bundleVersion, "1");
    EXPECT_EQ(replacing->questions[0].second.bundleVersion, "2");
    EXPECT_FALSE(ExtensionStateStore::isRunning(old, kProgram));
    const pid_t replacement = runningPid("app.velunto.ext");
    EXPECT_NE(replacement, 0);
    EXPECT_NE(replacement, old);
    EXPECT_EQ(store().read("app.velunto.ext")->bundleVersion, "2");

    const auto cancelled = activate("app.velunto.ext", kProgram, "3", OSSystemExtensionReplacementActionCancel);
    ASSERT_TRUE(cancelled->error.has_value());
    EXPECT_EQ(cancelled->error->code, OSSystemExtensionErrorRequestCanceled);
    EXPECT_NE(cancelled->error->localizedDescription.find("abgebrochen"), std::string::npos);
    EXPECT_EQ(runningPid("app.velunto.ext"), replacement);
}

TEST_F(ExtensionProcessTest, KilledInstanceIsRestarted) {
    LogCapture logs;
    activate("app.velunto.ext", kProgram, "1");
    const pid_t first = runningPid("app.velunto.ext");
    ASSERT_NE(first, 0);
    ASSERT_EQ(::kill(first, SIGKILL), 0);
    pid_t second = 0;
    EXPECT_TRUE(waitFor([&] {
        second = runningPid("app.velunto.ext");
        return second != 0 && second != first;
    }));
    started.insert(second);
    EXPECT_TRUE(waitFor([&] { return countLogs(logs, "neu gestartet") > 0; }));
    EXPECT_EQ(countLogs(logs, "neu gestartet"), 1u);
}

TEST_F(ExtensionProcessTest, RestartsStopAfterTheLimitPerMinute) {
    LogCapture logs;
    const fs::path failing = root / "failing-extension";
    std::ofstream(failing) << "#!/bin/sh\nexit 3\n";
    fs::permissions(failing, fs::perms::owner_all);
    const auto delegate = activate("app.velunto.failing", failing.string(), "1");
    EXPECT_EQ(delegate->result, OSSystemExtensionRequestResultCompleted);
    EXPECT_TRUE(waitFor([&] { return countLogs(logs, "wird nicht mehr neu gestartet") == 1; }));
    EXPECT_EQ(countLogs(logs, "neu gestartet (pid"), 3u);
    EXPECT_FALSE(store().read("app.velunto.failing").has_value());
}

TEST_F(ExtensionProcessTest, StaleStateFilesAreIgnored) {
    pid_t dead = 0;
    char truePath[] = "/bin/true";
    char* arguments[] = {truePath, nullptr};
    ASSERT_EQ(::posix_spawn(&dead, truePath, nullptr, nullptr, arguments, environ), 0);
    ASSERT_EQ(::waitpid(dead, nullptr, 0), dead);
    // A dead pid, then a live pid that runs another program (this test), both claiming the same version.
    for (const pid_t claimed : {dead, ::getpid()}) {
        ASSERT_TRUE(store().write({"app.velunto.ext", claimed, "1", kProgram}));
        const auto delegate = activate("app.velunto.ext", kProgram, "1");
        EXPECT_EQ(delegate->events, std::vector<std::string>{"finished"});
        const pid_t pid = runningPid("app.velunto.ext");
        EXPECT_NE(pid, 0);
        EXPECT_NE(pid, claimed);
        run(OSSystemExtensionRequest::deactivationRequestForExtension("app.velunto.ext", queue));
        EXPECT_FALSE(ExtensionStateStore::isRunning(pid, kProgram));
        EXPECT_FALSE(store().read("app.velunto.ext").has_value());
    }
}

TEST_F(ExtensionProcessTest, UnusableProgramsFailWithAGermanReason) {
    const auto nowhere = run(OSSystemExtensionRequest::activationRequestForExtension("app.velunto.nowhere", queue));
    ASSERT_TRUE(nowhere->error.has_value());
    EXPECT_EQ(nowhere->error->localizedDescription, "Erweiterung app.velunto.nowhere nicht gefunden.");
    EXPECT_EQ(nowhere->error->code, OSSystemExtensionErrorExtensionNotFound);

    const std::string missing = (root / "absent").string();
    const auto absent = activate("app.velunto.absent", missing, "1");
    ASSERT_TRUE(absent->error.has_value());
    EXPECT_EQ(absent->error->localizedDescription,
              "Programm " + missing + " der Erweiterung app.velunto.absent nicht gefunden.");

    const fs::path plain = root / "plain";
    std::ofstream(plain) << "not a program\n";
    const auto notExecutable = activate("app.velunto.plain", plain.string(), "1");
    ASSERT_TRUE(notExecutable->error.has_value());
    EXPECT_EQ(notExecutable->error->localizedDescription,
              "Programm " + plain.string() + " der Erweiterung app.velunto.plain ist nicht ausführbar.");
    EXPECT_TRUE(waitFor([&] { return manager.pendingRequestCount() == 0; }));
}

}  // namespace
}  // namespace velunto
