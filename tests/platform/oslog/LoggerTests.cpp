#include "platform/oslog/LogCapture.h"
#include "platform/oslog/LogSinks.h"
#include "platform/oslog/Logger.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace velunto {
namespace {

std::filesystem::path uniquePath(const std::string& stem) {
    return std::filesystem::temp_directory_path() /
           (stem + "-" + std::to_string(::getpid()) + "-" +
            std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
}

std::vector<std::string> readLines(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// Sends file descriptor 2 to a file while alive.
class StderrRedirect {
public:
    explicit StderrRedirect(const std::filesystem::path& path) : saved_(::dup(STDERR_FILENO)) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ::dup2(fd, STDERR_FILENO);
        ::close(fd);
    }
    ~StderrRedirect() {
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
    }

private:
    int saved_;
};

// Restores the process-wide sink settings a test changes.
class LoggerTest : public ::testing::Test {
protected:
    void TearDown() override {
        LogSinks::setStderrEnabled(true);
        LogSinks::setStderrMinimumLevel(OSLogType::info);
        LogSinks::setFileMinimumLevel(OSLogType::debug);
        LogSinks::closeFile();
    }
};

TEST_F(LoggerTest, EachLevelMethodRecordsItsTypeAndSource) {
    LogSinks::setStderrEnabled(false);
    LogCapture capture;
    const Logger logger("app.velunto", "CaptureEngine");
    logger.log("log %d", 1);
    logger.notice("notice %d", 2);
    logger.info("info %d", 3);
    logger.debug("debug %d", 4);
    logger.error("error %d", 5);
    logger.fault("fault %d", 6);
    logger.log(OSLogType::error, "typed %s", "error");

    const std::vector<LogEntry> entries = capture.entries();
    ASSERT_EQ(entries.size(), 7u);
    const OSLogType expectedTypes[] = {OSLogType::defaultType, OSLogType::defaultType, OSLogType::info,
                                       OSLogType::debug,       OSLogType::error,       OSLogType::fault,
                                       OSLogType::error};
    const char* expectedMessages[] = {"log 1", "notice 2", "info 3", "debug 4", "error 5", "fault 6", "typed error"};
    for (std::size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(entries[i].type, expectedTypes[i]) << i;
        EXPECT_EQ(entries[i].message, expectedMessages[i]);
        EXPECT_EQ(entries[i].subsystem, "app.velunto");
        EXPECT_EQ(entries[i].category, "CaptureEngine");
    }
    EXPECT_EQ(logger.subsystem(), "app.velunto");
    EXPECT_EQ(logger.category(), "CaptureEngine");
}

TEST_F(LoggerTest, CaptureFiltersByCategoryAndMatchesMessagesExactly) {
    LogSinks::setStderrEnabled(false);
    LogCapture capture;
    const Logger deviceManager("app.velunto", "DeviceManager");
    const Logger appState("app.velunto", "AppState");
    deviceManager.error("%{public}s failed: OSStatus %d", "AudioObjectGetPropertyData", 2003332927);
    deviceManager.error("%{public}s failed: OSStatus %d", "AudioObjectGetPropertyData", 2003332927);
    appState.log("Engine gestartet");

    EXPECT_EQ(capture.entries("DeviceManager").size(), 2u);
    EXPECT_EQ(capture.entries("AppState").size(), 1u);
    EXPECT_TRUE(capture.entries("Missing").empty());
    EXPECT_EQ(capture.count("DeviceManager", "AudioObjectGetPropertyData failed: OSStatus 2003332927"), 2u);
    EXPECT_TRUE(capture.contains("AppState", "Engine gestartet"));
    EXPECT_FALSE(capture.contains("AppState", "Engine"));                 // no substring match
    EXPECT_FALSE(capture.contains("DeviceManager", "Engine gestartet"));  // wrong category

    capture.clear();
    EXPECT_TRUE(capture.entries().empty());
    appState.log("danach");
    EXPECT_EQ(capture.entries().size(), 1u);
}

TEST_F(LoggerTest, CapturesSeeMessagesOnlyWhileAlive) {
    LogSinks::setStderrEnabled(false);
    const Logger logger("app.velunto", "HotKey");
    LogCapture outer;
    logger.log("before inner");
    {
        LogCapture inner;
        logger.log("both");
        EXPECT_FALSE(inner.contains("HotKey", "before inner"));
        EXPECT_TRUE(inner.contains("HotKey", "both"));
    }
    logger.log("after inner");
    EXPECT_EQ(outer.entries().size(), 3u);
    LogCapture later;
    EXPECT_TRUE(later.entries().empty());
}

TEST_F(LoggerTest, CaptureRecordsDebugEvenWhenStderrHidesIt) {
    LogSinks::setStderrEnabled(false);
    LogCapture capture;
    Logger("app.velunto", "LatencyMeter").debug("Korrelation %f", 0.5);
    EXPECT_TRUE(capture.contains("LatencyMeter", "Korrelation 0.500000"));
}

TEST_F(LoggerTest, WantsReflectsTheActiveSinks) {
    LogSinks::setStderrEnabled(false);
    EXPECT_FALSE(LogSinks::wants(OSLogType::fault));
    LogSinks::setStderrEnabled(true);
    LogSinks::setStderrMinimumLevel(OSLogType::error);
    EXPECT_FALSE(LogSinks::wants(OSLogType::defaultType));
    EXPECT_TRUE(LogSinks::wants(OSLogType::error));
    EXPECT_EQ(LogSinks::stderrMinimumLevel(), OSLogType::error);
    {
        LogCapture capture;
        EXPECT_TRUE(LogSinks::wants(OSLogType::debug));
    }
    EXPECT_FALSE(LogSinks::wants(OSLogType::debug));
}

TEST_F(LoggerTest, LineFormatHasLocalTimeWithMillisecondsLevelAndSource) {
    const char* previous = std::getenv("TZ");
    const std::string saved = previous != nullptr ? previous : "";
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    // 2026-12-07 20:31:05.123 UTC
    const auto time = std::chrono::system_clock::time_point(std::chrono::milliseconds(1796675465123LL));
    const std::string line =
        LogSinks::formatLine(LogEntry{OSLogType::error, "app.velunto", "AppState", "Nachricht ä"}, time);
    if (previous != nullptr) {
        ::setenv("TZ", saved.c_str(), 1);
    } else {
        ::unsetenv("TZ");
    }
    ::tzset();
    EXPECT_EQ(line, "2026-12-07 20:31:05.123 Error [app.velunto:AppState] Nachricht ä\n");

    const std::pair<OSLogType, const char*> names[] = {{OSLogType::defaultType, "Default"},
                                                       {OSLogType::info, "Info"},
                                                       {OSLogType::debug, "Debug"},
                                                       {OSLogType::error, "Error"},
                                                       {OSLogType::fault, "Fault"}};
    for (const auto& [type, name] : names) {
        const std::string text = LogSinks::formatLine(LogEntry{type, "s", "c", "m"}, time);
        EXPECT_NE(text.find(std::string(" ") + name + " [s:c] m\n"), std::string::npos) << text;
    }
}

TEST_F(LoggerTest, StderrShowsLevelsFromTheMinimumAndCanBeTurnedOff) {
    const std::filesystem::path path = uniquePath("velunto-stderr");
    const Logger logger("app.velunto", "OutputEngine");
    {
        StderrRedirect redirect(path);
        logger.debug("hidden debug");
        logger.info("visible info");
        logger.error("visible error");
        LogSinks::setStderrMinimumLevel(OSLogType::error);
        logger.log("hidden default");
        logger.fault("visible fault");
        LogSinks::setStderrEnabled(false);
        logger.fault("hidden fault");
    }
    const std::vector<std::string> lines = readLines(path);
    std::filesystem::remove(path);
    ASSERT_EQ(lines.size(), 3u);
    const std::regex pattern(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} (Info|Error|Fault) )"
                             R"(\[app\.velunto:OutputEngine\] visible (info|error|fault)$)");
    for (const std::string& line : lines)
        EXPECT_TRUE(std::regex_match(line, pattern)) << line;
    EXPECT_NE(lines[0].find(" Info [app.velunto:OutputEngine] visible info"), std::string::npos);
    EXPECT_NE(lines[2].find(" Fault [app.velunto:OutputEngine] visible fault"), std::string::npos);
}

TEST_F(LoggerTest, FileSinkAppendsEveryLevelAndStopsWhenClosed) {
    LogSinks::setStderrEnabled(false);
    const std::filesystem::path path = uniquePath("velunto-log");
    { std::ofstream(path) << "existing line\n"; }
    const Logger logger("app.velunto", "CameraEngine");
    ASSERT_TRUE(LogSinks::setFile(path));
    logger.debug("debug %d", 1);
    logger.error("error %s", "zwei");
    LogSinks::setFileMinimumLevel(OSLogType::error);
    logger.info("filtered");
    logger.fault("fault");
    LogSinks::closeFile();
    logger.fault("after close");

    const std::vector<std::string> lines = readLines(path);
    std::filesystem::remove(path);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "existing line");
    const std::regex pattern(
        R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} [A-Za-z]+ \[app\.velunto:CameraEngine\] .*$)");
    for (std::size_t i = 1; i < lines.size(); ++i)
        EXPECT_TRUE(std::regex_match(lines[i], pattern)) << lines[i];
    EXPECT_NE(lines[1].find(" Debug [app.velunto:CameraEngine] debug 1"), std::string::npos);
    EXPECT_NE(lines[2].find(" Error [app.velunto:CameraEngine] error zwei"), std::string::npos);
    EXPECT_NE(lines[3].find(" Fault [app.velunto:CameraEngine] fault"), std::string::npos);
}

TEST_F(LoggerTest, FileSinkReportsAFileThatCannotBeOpened) {
    EXPECT_FALSE(LogSinks::setFile("/nonexistent-directory/velunto.log"));
    LogSinks::setStderrEnabled(false);
    EXPECT_FALSE(LogSinks::wants(OSLogType::fault));
}

TEST_F(LoggerTest, ConcurrentLoggingLosesNothing) {
    LogSinks::setStderrEnabled(false);
    const std::filesystem::path path = uniquePath("velunto-concurrent");
    ASSERT_TRUE(LogSinks::setFile(path));
    LogCapture capture;
    constexpr int threads = 4;
    constexpr int perThread = 500;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([t] {
            const Logger logger("app.velunto", "Thread" + std::to_string(t));
            for (int i = 0; i < perThread; ++i)
                logger.log("message %d from %d", i, t);
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    LogSinks::closeFile();

    EXPECT_EQ(capture.entries().size(), static_cast<std::size_t>(threads * perThread));
    for (int t = 0; t < threads; ++t) {
        const auto entries = capture.entries("Thread" + std::to_string(t));
        ASSERT_EQ(entries.size(), static_cast<std::size_t>(perThread));
        for (int i = 0; i < perThread; ++i) {
            EXPECT_EQ(entries[static_cast<std::size_t>(i)].message,
                      "message " + std::to_string(i) + " from " + std::to_string(t));
        }
    }
    const std::vector<std::string> lines = readLines(path);
    std::filesystem::remove(path);
    EXPECT_EQ(lines.size(), static_cast<std::size_t>(threads * perThread));  // whole lines, none interleaved
    const std::regex pattern(R"(^.* Default \[app\.velunto:Thread\d\] message \d+ from \d$)");
    for (const std::string& line : lines) {
        if (!std::regex_match(line, pattern)) {
            ADD_FAILURE() << line;
            break;
        }
    }
}

}  // namespace
}  // namespace velunto
