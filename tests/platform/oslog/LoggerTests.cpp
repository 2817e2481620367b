#include "platform/oslog/LogCapture.h"
#include "platform/oslog/LogSinks.h"
#include "platform/oslog/Logger.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace velunto {
namespace {

using Lines = std::vector<std::string>;

std::filesystem::path uniquePath(const std::string& stem) {
    return std::filesystem::temp_directory_path() / (stem + "-" + std::to_string(::getpid()));
}

// The file's lines, with a leading "YYYY-MM-DD HH:MM:SS.mmm " replaced by "<time> "; removes the file.
Lines readLogFile(const std::filesystem::path& path) {
    const std::regex stamp(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} )");
    std::ifstream in(path);
    Lines lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(std::regex_replace(line, stamp, "<time> ", std::regex_constants::format_first_only));
    std::filesystem::remove(path);
    return lines;
}

// Each entry as a log line without the time: "Type [subsystem:category] message".
Lines describe(const std::vector<LogEntry>& entries) {
    Lines lines;
    for (const LogEntry& entry : entries) {
        lines.push_back(std::string(logTypeName(entry.type)) + " [" + entry.subsystem + ":" + entry.category + "] " +
                        entry.message);
    }
    return lines;
}

// Sends file descriptor 2 to a file while alive.
struct StderrRedirect {
    explicit StderrRedirect(const std::filesystem::path& path) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ::dup2(fd, STDERR_FILENO);
        ::close(fd);
    }
    ~StderrRedirect() {
        ::dup2(saved, STDERR_FILENO);
        ::close(saved);
    }
    const int saved = ::dup(STDERR_FILENO);
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

TEST_F(LoggerTest, CapturesRecordEveryLevelWhileAliveAndMatchByCategoryAndExactText) {
    LogSinks::setStderrEnabled(false);
    const Logger logger("app.velunto", "CaptureEngine");
    const Logger deviceManager("app.velunto", "DeviceManager");
    const std::string failure = "AudioObjectGetPropertyData failed: OSStatus 2003332927";
    LogCapture outer;
    deviceManager.error("%{public}s failed: OSStatus %d", "AudioObjectGetPropertyData", 2003332927);
    {
        LogCapture inner;
        logger.log("log %d", 1);
        logger.notice("notice %d", 2);
        logger.info("info %d", 3);
        logger.debug("debug %d", 4);  // captured although no other sink wants it
        logger.error("error %d", 5);
        logger.fault("fault %d", 6);
        logger.log(OSLogType::error, "typed %s", "error");
        deviceManager.error("%{public}s failed: OSStatus %d", "AudioObjectGetPropertyData", 2003332927);
        EXPECT_EQ(
            describe(inner.entries()),
            (Lines{"Default [app.velunto:CaptureEngine] log 1", "Default [app.velunto:CaptureEngine] notice 2",
                   "Info [app.velunto:CaptureEngine] info 3", "Debug [app.velunto:CaptureEngine] debug 4",
                   "Error [app.velunto:CaptureEngine] error 5", "Fault [app.velunto:CaptureEngine] fault 6",
                   "Error [app.velunto:CaptureEngine] typed error", "Error [app.velunto:DeviceManager] " + failure}));
    }
    logger.log("danach");
    EXPECT_EQ(outer.entries().size(), 10u);
    EXPECT_EQ(outer.entries("CaptureEngine").size(), 8u);
    EXPECT_EQ(outer.count("DeviceManager", failure), 2u);
    EXPECT_TRUE(outer.contains("CaptureEngine", "typed error"));
    EXPECT_FALSE(outer.contains("CaptureEngine", "typed"));        // no substring match
    EXPECT_FALSE(outer.contains("DeviceManager", "typed error"));  // wrong category

    outer.clear();
    logger.log("wieder");
    EXPECT_EQ(describe(outer.entries()), Lines{"Default [app.velunto:CaptureEngine] wieder"});
}

TEST_F(LoggerTest, LineFormatHasLocalTimeWithMillisecondsLevelAndSource) {
    const char* previous = std::getenv("TZ");
    const std::string saved = previous != nullptr ? previous : "";
    ::setenv("TZ", "CET-1", 1);  // one hour ahead of UTC all year
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
    EXPECT_EQ(line, "2026-12-07 21:31:05.123 Error [app.velunto:AppState] Nachricht ä\n");
}

TEST_F(LoggerTest, StderrAndFileWriteLevelsFromTheirMinimumUntilTurnedOff) {
    const std::filesystem::path stderrPath = uniquePath("velunto-stderr");
    const std::filesystem::path filePath = uniquePath("velunto-log");
    std::ofstream(filePath) << "existing line\n";
    const Logger logger("app.velunto", "OutputEngine");
    {
        StderrRedirect redirect(stderrPath);
        ASSERT_TRUE(LogSinks::setFile(filePath));
        logger.debug("debug %d", 1);  // stderr starts at info, the file at debug
        logger.info("info");
        logger.error("error %s", "zwei");
        LogSinks::setStderrMinimumLevel(OSLogType::error);
        EXPECT_EQ(LogSinks::stderrMinimumLevel(), OSLogType::error);
        logger.log("default");
        LogSinks::setFileMinimumLevel(OSLogType::error);
        logger.info("filtered");
        logger.fault("fault");
        LogSinks::setStderrEnabled(false);
        LogSinks::closeFile();
        logger.fault("after close");
    }
    EXPECT_EQ(readLogFile(stderrPath), (Lines{"<time> Info [app.velunto:OutputEngine] info",
                                              "<time> Error [app.velunto:OutputEngine] error zwei",
                                              "<time> Fault [app.velunto:OutputEngine] fault"}));
    EXPECT_EQ(
        readLogFile(filePath),
        (Lines{"existing line", "<time> Debug [app.velunto:OutputEngine] debug 1",
               "<time> Info [app.velunto:OutputEngine] info", "<time> Error [app.velunto:OutputEngine] error zwei",
               "<time> Default [app.velunto:OutputEngine] default", "<time> Fault [app.velunto:OutputEngine] fault"}));
    EXPECT_FALSE(LogSinks::setFile("/nonexistent-directory/velunto.log"));
    EXPECT_FALSE(LogSinks::wants(OSLogType::fault));  // no sink left: messages are not even formatted
}

TEST_F(LoggerTest, ConcurrentLoggingLosesAndInterleavesNothing) {
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

    Lines fileLines;
    for (int t = 0; t < threads; ++t) {
        Lines expected;  // in the order the thread logged them
        for (int i = 0; i < perThread; ++i) {
            expected.push_back(formatLogMessage("Default [app.velunto:Thread%d] message %d from %d", t, i, t));
            fileLines.push_back("<time> " + expected.back());
        }
        EXPECT_EQ(describe(capture.entries("Thread" + std::to_string(t))), expected);
    }
    Lines lines = readLogFile(path);
    std::sort(lines.begin(), lines.end());
    std::sort(fileLines.begin(), fileLines.end());
    EXPECT_EQ(lines, fileLines);  // whole lines, each once
}

}  // namespace
}  // namespace velunto
