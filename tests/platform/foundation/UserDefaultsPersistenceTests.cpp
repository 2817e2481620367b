#include "platform/foundation/PropertyListSerialization.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/oslog/LogCapture.h"

#include "tests/platform/foundation/BinaryPlistBuilder.h"
#include "tests/platform/foundation/TemporaryDirectory.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>

namespace velunto {
namespace {

using Array = PropertyListValue::Array;
using Dictionary = PropertyListValue::Dictionary;

constexpr const char* domain = "app.velunto.test";
const std::string writeFailed = "Einstellungen konnten nicht gespeichert werden: ";

Data readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Data(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::filesystem::path& path, const Data& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Data bytesOf(std::string_view text) {
    return Data(text.begin(), text.end());
}

std::set<std::string> fileNames(const std::filesystem::path& directory) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory))
        names.insert(entry.path().filename().string());
    return names;
}

std::string corruptMessage(const std::filesystem::path& file, const std::filesystem::path& movedTo) {
    return "Einstellungsdatei " + file.string() + " ist beschädigt und wurde nach " + movedTo.string() + " verschoben.";
}

// Runs `body` in a child process, which must return 0; other values are bit sets of failed checks.
void expectSuccessInChild(const std::function<int()>& body) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        ::_exit(body());
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

class UserDefaultsPersistence : public ::testing::Test {
protected:
    std::filesystem::path file() const { return directory.path() / (std::string(domain) + ".plist"); }
    std::shared_ptr<UserDefaults> open() const { return UserDefaults::persistent(domain, directory.path()); }

    TemporaryDirectory directory;
};

TEST_F(UserDefaultsPersistence, ValuesAndRemovalsSurviveReopening) {
    const Dictionary values{
        {"app.velunto.bypass", true},
        {"app.velunto.videoOffsetMilliseconds", -120},
        {"app.velunto.monitorDeviceUID", "Einspeisung ä ö ü ß ⌃⌥"},
        {"app.velunto.pluginState", Data{0, 1, 2, 254, 255}},
        {"ratio", 0.75},
        {"when", Date{789012345.5}},
        {"nested", Dictionary{{"list", Array{1, "zwei", Array{}}}, {"empty", Dictionary{}}}},
    };
    {
        const auto defaults = open();
        EXPECT_EQ(defaults->filePath(), file());
        EXPECT_FALSE(std::filesystem::exists(file()));  // nothing is written until the first change
        for (const auto& [key, value] : values)
            defaults->set(key, value);
        defaults->set("broken", "\xff\xfe broken");  // invalid UTF-8 must not make the file unreadable
        defaults->removeObject("app.velunto.bypass");
    }
    Dictionary expected = values;
    expected.erase("app.velunto.bypass");
    expected["broken"] = "\xEF\xBF\xBD\xEF\xBF\xBD broken";
    EXPECT_EQ(PropertyListSerialization::propertyList(readFile(file())), PropertyListValue(expected));

    LogCapture capture;
    const auto reopened = open();
    EXPECT_FALSE(reopened->object("app.velunto.bypass").has_value());
    for (const auto& [key, value] : expected)
        EXPECT_EQ(reopened->object(key), value) << key;
    EXPECT_TRUE(capture.entries().empty());
}

TEST_F(UserDefaultsPersistence, OneLiveInstancePerFileServesReadsFromMemory) {
    writeFile(file(), PropertyListSerialization::binaryData(Dictionary{{"key", "original"}}));
    auto first = open();
    auto second = UserDefaults::persistent(domain, directory.path() / "." / "");
    EXPECT_EQ(first, second);
    EXPECT_NE(first, UserDefaults::persistent("app.velunto.other", directory.path()));
    writeFile(file(), PropertyListSerialization::binaryData(Dictionary{{"key", "changed behind its back"}}));
    EXPECT_EQ(first->string("key"), "original");
    std::filesystem::remove(file());
    EXPECT_EQ(second->string("key"), "original");
    first.reset();
    second.reset();
    // A new instance reads the file again; an XML file is accepted and rewritten as binary.
    writeFile(file(), bytesOf(R"(<plist version="1.0"><dict><key>key</key><string>new</string></dict></plist>)"));
    const auto third = open();
    EXPECT_EQ(third->string("key"), "new");
    third->set("other", 1);
    const Data bytes = readFile(file());
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()).substr(0, 8), "bplist00");
}

TEST_F(UserDefaultsPersistence, UnreadableFilesAreMovedAsideWithoutOverwritingOlderCopies) {
    BinaryPlistBuilder hostile = BinaryPlistBuilder::chain(40, 2);  // 2^40 nodes once expanded
    hostile.add(BinaryPlistBuilder::dictionary(hostile.add(BinaryPlistBuilder::ascii("key")), 0));
    const Data contents[] = {bytesOf("this is not a property list"), Data{},
                             PropertyListSerialization::binaryData(Array{"a", "b"}), hostile.build(41)};
    // Occupy the copy names <domain>.plist.corrupt-YYYYMMDD-HHMMSS for the seconds around now, so
    // that every move has to append "-N".
    std::set<std::string> occupied;
    std::map<std::string, Data> copies;
    const auto now = std::chrono::system_clock::now();
    for (int offset = -2; offset <= 5; ++offset) {
        const std::time_t when = std::chrono::system_clock::to_time_t(now + std::chrono::seconds(offset));
        std::tm local{};
        localtime_r(&when, &local);
        char stamp[32];
        std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
        const std::string name = std::string(domain) + ".plist.corrupt-" + stamp;
        occupied.insert(name);
        copies[name] = bytesOf("older copy");
        writeFile(directory.path() / name, copies[name]);
    }
    for (const Data& content : contents) {
        SCOPED_TRACE(content.size());
        writeFile(file(), content);
        LogCapture capture;
        EXPECT_FALSE(open()->object("key").has_value());
        std::set<std::string> added = fileNames(directory.path());
        for (const auto& [name, bytes] : copies) {
            EXPECT_EQ(readFile(directory.path() / name), bytes) << name;
            added.erase(name);
        }
        ASSERT_EQ(added.size(), 1u);  // the new copy; the file itself is gone
        const std::string name = *added.begin();
        const std::size_t dash = name.rfind('-');
        ASSERT_TRUE(occupied.count(name.substr(0, dash)) == 1 && dash + 1 < name.size() &&
                    name.find_first_not_of("0123456789", dash + 1) == std::string::npos)
            << name;
        const std::filesystem::path copy = directory.path() / name;
        EXPECT_EQ(readFile(copy), content);
        copies[name] = content;
        const auto entries = capture.entries();
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries[0].type, OSLogType::error);
        EXPECT_EQ(entries[0].subsystem, "app.velunto");
        EXPECT_EQ(entries[0].category, "UserDefaults");
        EXPECT_EQ(entries[0].message, corruptMessage(file(), copy));
    }
    LogCapture capture;
    open()->set("key", "neu");
    EXPECT_TRUE(capture.entries().empty());  // reads and writes after the move log nothing
    EXPECT_EQ(PropertyListSerialization::propertyList(readFile(file())), PropertyListValue(Dictionary{{"key", "neu"}}));
    EXPECT_EQ(fileNames(directory.path()).size(), copies.size() + 1);
}

TEST_F(UserDefaultsPersistence, TemporariesOfFinishedWritersAreRemovedOnOpen) {
    const std::string gone = std::to_string(std::numeric_limits<pid_t>::max());  // above any pid_max
    const std::string base = std::string(domain) + ".plist.tmp-";
    const std::string stale = base + gone + "-3";
    const std::string running = base + "1-7";  // pid 1 always exists
    const std::string ours = base + std::to_string(::getpid()) + "-1";
    const std::string otherDomain = "app.velunto.other.plist.tmp-" + gone + "-1";
    for (const auto& name : {stale, running, ours, otherDomain})
        writeFile(directory.path() / name, bytesOf("partial"));
    open();
    EXPECT_EQ(fileNames(directory.path()), (std::set<std::string>{running, ours, otherDomain}));
}

TEST_F(UserDefaultsPersistence, FailedWriteIsLoggedAndKeepsTheValueInMemory) {
    const auto defaults = open();
    defaults->set("key", 1);
    // A non-empty directory where the file should be makes the final rename fail.
    std::filesystem::remove(file());
    std::filesystem::create_directories(file() / "blocker");
    LogCapture capture;
    defaults->set("key", 2);
    EXPECT_EQ(defaults->integer("key"), 2);
    EXPECT_EQ(capture.count("UserDefaults", writeFailed + "Is a directory"), 1u);
    EXPECT_EQ(fileNames(directory.path()), std::set<std::string>{std::string(domain) + ".plist"});  // no temporary
}

TEST_F(UserDefaultsPersistence, FullDiskIsLoggedAndKeepsTheValueInMemory) {
    // The child limits its file size to simulate a full disk without touching the parent.
    expectSuccessInChild([&] {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{1024, 1024};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        LogCapture capture;
        const auto defaults = open();
        defaults->set("big", Data(8192, 0x5A));
        return (capture.count("UserDefaults", writeFailed + "File too large") == 1 ? 0 : 1) |
               (defaults->data("big") == Data(8192, 0x5A) ? 0 : 2) | (fileNames(directory.path()).empty() ? 0 : 4);
    });
}

TEST_F(UserDefaultsPersistence, ValueBeyondTheLimitsIsRefused) {
    const auto defaults = open();
    defaults->set("key", "kept");
    PropertyListValue deep(Array{});
    for (std::size_t i = 0; i < PropertyListSerialization::limits.maximumDepth; ++i)
        deep = PropertyListValue(Array{deep});
    LogCapture capture;
    defaults->set("key", deep);
    defaults->set("other", deep);
    EXPECT_EQ(defaults->string("key"), "kept");
    EXPECT_FALSE(defaults->object("other").has_value());
    EXPECT_EQ(capture.count("UserDefaults", writeFailed + "the value exceeds the property-list limits"), 2u);
    EXPECT_EQ(PropertyListSerialization::propertyList(readFile(file())),
              PropertyListValue(Dictionary{{"key", "kept"}}));
}

TEST_F(UserDefaultsPersistence, InvalidDomainsAreRejected) {
    for (const std::string bad : {"", ".", "..", "a/b"})
        EXPECT_THROW(UserDefaults::persistent(bad, directory.path()), std::invalid_argument) << bad;
}

// A record whose payload is fully determined by its sequence number, with a size that grows and
// shrinks from one write to the next.
PropertyListValue record(std::int64_t sequence) {
    const auto size = static_cast<std::size_t>((sequence * 7919) % 20000);
    return Dictionary{
        {"sequence", sequence},
        {"payload", Data(size, static_cast<std::uint8_t>(sequence))},
        {"text", std::string(static_cast<std::size_t>(sequence % 97), 'a' + static_cast<char>(sequence % 26))}};
}

TEST_F(UserDefaultsPersistence, KilledWriterLeavesACompleteFile) {
    std::mt19937 random(42);
    for (int round = 0; round < 50; ++round) {
        SCOPED_TRACE(round);
        int pipeEnds[2];
        ASSERT_EQ(::pipe(pipeEnds), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(pipeEnds[0]);
            const auto defaults = open();
            for (std::int64_t sequence = 1; sequence < 1000000; ++sequence) {
                defaults->set("record", record(sequence));
                // Acknowledge only after set() returned: from here on the record must be on disk.
                if (::write(pipeEnds[1], &sequence, sizeof sequence) != sizeof sequence)
                    ::_exit(2);
            }
            ::_exit(0);
        }
        ::close(pipeEnds[1]);
        const auto readAcknowledgement = [&](std::int64_t& sequence) {
            return ::read(pipeEnds[0], &sequence, sizeof sequence) == static_cast<ssize_t>(sizeof sequence);
        };
        std::int64_t acknowledged = 0;
        const std::int64_t wanted = std::uniform_int_distribution<std::int64_t>(1, 25)(random);
        while (acknowledged < wanted)
            ASSERT_TRUE(readAcknowledgement(acknowledged));
        // Kill at an arbitrary point of a later write.
        std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(0, 3000)(random)));
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        for (std::int64_t sequence = 0; readAcknowledgement(sequence);)
            acknowledged = sequence;
        ::close(pipeEnds[0]);

        LogCapture capture;
        const auto stored = open()->object("record");
        EXPECT_TRUE(capture.entries().empty());  // the file was not corrupt
        ASSERT_TRUE(stored && stored->isDictionary());
        const std::int64_t sequence = stored->get<Dictionary>().at("sequence").get<std::int64_t>();
        EXPECT_TRUE(sequence == acknowledged || sequence == acknowledged + 1) << sequence << " vs " << acknowledged;
        EXPECT_EQ(*stored, record(sequence));
        EXPECT_EQ(fileNames(directory.path()), std::set<std::string>{std::string(domain) + ".plist"});
    }
}

// standard() is created once per process, so it is checked in a fresh child process.
TEST(UserDefaultsLocation, StandardDatabaseLivesInTheConfigDirectory) {
    TemporaryDirectory directory;
    expectSuccessInChild([&] {
        ::setenv("HOME", "/home/someone", 1);
        ::setenv("XDG_CONFIG_HOME", "relative/path", 1);  // ignored: must be absolute
        const int fallbackWrong = UserDefaults::configDirectory() != "/home/someone/.config/velunto" ? 1 : 0;
        ::setenv("XDG_CONFIG_HOME", directory.path().c_str(), 1);
        const std::filesystem::path expected = directory.path() / "velunto" / "app.velunto.plist";
        const auto standard = UserDefaults::standard();
        const int created = std::filesystem::is_directory(expected.parent_path()) ? 0 : 16;
        standard->set("app.velunto.isRunning", true);
        const auto stored = PropertyListSerialization::propertyList(readFile(expected));
        return fallbackWrong | (standard->filePath() == expected ? 0 : 2) |
               (standard == UserDefaults::standard() ? 0 : 4) |
               (stored == PropertyListValue(Dictionary{{"app.velunto.isRunning", true}}) ? 0 : 8) | created;
    });
}

}  // namespace
}  // namespace velunto
