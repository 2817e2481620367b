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
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace velunto {
namespace {

using Array = PropertyListValue::Array;
using Dictionary = PropertyListValue::Dictionary;

constexpr const char* domain = "app.velunto.test";

Data readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Data(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::filesystem::path& path, const Data& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
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

// <domain>.plist.corrupt-YYYYMMDD-HHMMSS, optionally followed by -N.
bool isCorruptCopyName(const std::string& name) {
    const std::string prefix = std::string(domain) + ".plist.corrupt-";
    if (!name.starts_with(prefix))
        return false;
    const std::string rest = name.substr(prefix.size());
    const auto digits = [&](std::size_t from, std::size_t count) {
        if (rest.size() < from + count)
            return false;
        for (std::size_t i = from; i < from + count; ++i) {
            if (rest[i] < '0' || rest[i] > '9')
                return false;
        }
        return true;
    };
    if (!digits(0, 8) || rest.size() < 15 || rest[8] != '-' || !digits(9, 6))
        return false;
    if (rest.size() == 15)
        return true;
    return rest[15] == '-' && rest.size() > 16 && digits(16, rest.size() - 16);
}

std::vector<std::filesystem::path> corruptCopies(const std::filesystem::path& directory) {
    std::vector<std::filesystem::path> found;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        if (isCorruptCopyName(entry.path().filename().string()))
            found.push_back(entry.path());
    }
    return found;
}

std::string corruptMessage(const std::filesystem::path& file, const std::filesystem::path& movedTo) {
    return "Einstellungsdatei " + file.string() + " ist beschädigt und wurde nach " + movedTo.string() + " verschoben.";
}

class UserDefaultsPersistence : public ::testing::Test {
protected:
    std::filesystem::path file() const { return directory.path() / (std::string(domain) + ".plist"); }
    std::shared_ptr<UserDefaults> open() const { return UserDefaults::persistent(domain, directory.path()); }

    // Opens a database over a file with the given contents and checks that the file was moved aside
    // intact, logged once, and the database starts empty.
    void expectMovedAside(const Data& contents) {
        writeFile(file(), contents);
        LogCapture capture;
        const auto defaults = open();
        EXPECT_FALSE(defaults->object("key").has_value());
        EXPECT_FALSE(std::filesystem::exists(file()));
        const auto copies = corruptCopies(directory.path());
        ASSERT_EQ(copies.size(), 1u);
        EXPECT_EQ(readFile(copies[0]), contents);
        EXPECT_EQ(capture.entries().size(), 1u);
        EXPECT_EQ(capture.count("UserDefaults", corruptMessage(file(), copies[0])), 1u);
        const auto entries = capture.entries("UserDefaults");
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries[0].type, OSLogType::error);
        EXPECT_EQ(entries[0].subsystem, "app.velunto");
    }

    TemporaryDirectory directory;
};

TEST_F(UserDefaultsPersistence, ValuesSurviveReopening) {
    const PropertyListValue::Dictionary values{
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
    }
    const Data bytes = readFile(file());
    ASSERT_GE(bytes.size(), 8u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 8), "bplist00");
    EXPECT_EQ(PropertyListSerialization::propertyList(bytes), PropertyListValue(values));

    const auto reopened = open();
    for (const auto& [key, value] : values)
        EXPECT_EQ(reopened->object(key), value) << key;
}

TEST_F(UserDefaultsPersistence, InvalidUtf8DoesNotMakeTheFileUnreadable) {
    open()->set("app.velunto.monitorDeviceUID", "\xff\xfe broken");
    LogCapture capture;
    EXPECT_EQ(open()->string("app.velunto.monitorDeviceUID"), "\xEF\xBF\xBD\xEF\xBF\xBD broken");
    EXPECT_TRUE(capture.entries().empty());
}

TEST_F(UserDefaultsPersistence, RemovalIsPersisted) {
    {
        const auto defaults = open();
        defaults->set("a", 1);
        defaults->set("b", 2);
        defaults->removeObject("a");
    }
    const auto reopened = open();
    EXPECT_FALSE(reopened->object("a").has_value());
    EXPECT_EQ(reopened->integer("b"), 2);
}

TEST_F(UserDefaultsPersistence, OneLiveInstancePerFile) {
    auto first = open();
    auto second = UserDefaults::persistent(domain, directory.path() / "." / "");
    EXPECT_EQ(first, second);
    EXPECT_NE(first, UserDefaults::persistent("app.velunto.other", directory.path()));
    first->set("key", 1);
    first.reset();
    second.reset();
    writeFile(file(), PropertyListSerialization::binaryData(Dictionary{{"key", 2}}));
    EXPECT_EQ(open()->integer("key"), 2);  // a new instance reads the file again
}

TEST_F(UserDefaultsPersistence, ReadsComeFromMemory) {
    writeFile(file(), PropertyListSerialization::binaryData(Dictionary{{"key", "original"}}));
    const auto defaults = open();
    writeFile(file(), PropertyListSerialization::binaryData(Dictionary{{"key", "changed behind its back"}}));
    EXPECT_EQ(defaults->string("key"), "original");
    std::filesystem::remove(file());
    EXPECT_EQ(defaults->string("key"), "original");
}

TEST_F(UserDefaultsPersistence, CreatesMissingDirectories) {
    const std::filesystem::path nested = directory.path() / "a" / "b";
    const auto defaults = UserDefaults::persistent(domain, nested);
    EXPECT_TRUE(std::filesystem::is_directory(nested));
    defaults->set("key", 1);
    EXPECT_TRUE(std::filesystem::exists(nested / (std::string(domain) + ".plist")));
}

TEST_F(UserDefaultsPersistence, CorruptFileIsMovedAsideLoggedOnceAndReplacedByTheNextWrite) {
    expectMovedAside(bytesOf("this is not a property list"));
    LogCapture capture;
    const auto defaults = open();
    defaults->set("key", "neu");
    EXPECT_EQ(defaults->string("key"), "neu");
    EXPECT_TRUE(capture.entries().empty());  // reads and writes after the move log nothing
    const auto stored = PropertyListSerialization::propertyList(readFile(file()));
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(*stored, PropertyListValue(Dictionary{{"key", "neu"}}));
    EXPECT_EQ(corruptCopies(directory.path()).size(), 1u);
}

TEST_F(UserDefaultsPersistence, EmptyFileIsCorrupt) {
    expectMovedAside({});
}

TEST_F(UserDefaultsPersistence, NonDictionaryRootIsCorrupt) {
    expectMovedAside(PropertyListSerialization::binaryData(Array{"a", "b"}));
}

TEST_F(UserDefaultsPersistence, TruncatedFileIsCorrupt) {
    const Data good = PropertyListSerialization::binaryData(Dictionary{{"key", "value"}, {"other", 12345}});
    expectMovedAside(Data(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(good.size() / 2)));
}

TEST_F(UserDefaultsPersistence, HostileFileIsCorrupt) {
    BinaryPlistBuilder builder;
    constexpr std::uint64_t levels = 40;
    for (std::uint64_t i = 0; i < levels; ++i) {
        builder.add(i + 1 < levels ? builder.array({i + 1, i + 1}) : BinaryPlistBuilder::boolean(true));
    }
    const auto key = builder.add(BinaryPlistBuilder::ascii("key"));
    const auto root = builder.add(builder.dictionary({key}, {0}));
    expectMovedAside(builder.build(root));
}

TEST_F(UserDefaultsPersistence, CorruptCopiesAreNeverOverwritten) {
    // Occupy the names for the seconds around now, so the move has to add a suffix.
    const auto now = std::chrono::system_clock::now();
    std::set<std::string> occupied;
    for (int offset = -2; offset <= 5; ++offset) {
        const std::time_t when = std::chrono::system_clock::to_time_t(now + std::chrono::seconds(offset));
        std::tm local{};
        localtime_r(&when, &local);
        char stamp[32];
        std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
        const std::string name = std::string(domain) + ".plist.corrupt-" + stamp;
        writeFile(directory.path() / name, bytesOf("older copy"));
        occupied.insert(name);
    }
    writeFile(file(), bytesOf("new garbage"));
    LogCapture capture;
    const auto defaults = open();
    std::vector<std::filesystem::path> added;
    for (const auto& copy : corruptCopies(directory.path())) {
        if (occupied.count(copy.filename().string()) == 0)
            added.push_back(copy);
    }
    ASSERT_EQ(added.size(), 1u);
    EXPECT_TRUE(added[0].filename().string().ends_with("-1"));
    EXPECT_EQ(readFile(added[0]), bytesOf("new garbage"));
    for (const std::string& name : occupied)
        EXPECT_EQ(readFile(directory.path() / name), bytesOf("older copy"));
    EXPECT_EQ(capture.count("UserDefaults", corruptMessage(file(), added[0])), 1u);
}

TEST_F(UserDefaultsPersistence, XmlFileIsReadAndRewrittenAsBinary) {
    writeFile(
        file(),
        bytesOf(
            R"(<?xml version="1.0"?><plist version="1.0"><dict><key>count</key><integer>3</integer></dict></plist>)"));
    const auto defaults = open();
    EXPECT_EQ(defaults->integer("count"), 3);
    defaults->set("count", 4);
    const Data bytes = readFile(file());
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 8), "bplist00");
}

TEST_F(UserDefaultsPersistence, TemporariesOfFinishedWritersAreRemovedOnOpen) {
    const pid_t finished = ::fork();
    if (finished == 0)
        ::_exit(0);
    ASSERT_GT(finished, 0);
    ::waitpid(finished, nullptr, 0);

    const std::string base = std::string(domain) + ".plist.tmp-";
    const std::string stale = base + std::to_string(finished) + "-3";
    const std::string running = base + "1-7";  // pid 1 always exists
    const std::string ours = base + std::to_string(::getpid()) + "-1";
    const std::string otherDomain = "app.velunto.other.plist.tmp-" + std::to_string(finished) + "-1";
    for (const auto& name : {stale, running, ours, otherDomain})
        writeFile(directory.path() / name, bytesOf("partial"));

    const auto defaults = open();
    const std::set<std::string> names = fileNames(directory.path());
    EXPECT_EQ(names.count(stale), 0u);
    EXPECT_EQ(names.count(running), 1u);
    EXPECT_EQ(names.count(ours), 1u);
    EXPECT_EQ(names.count(otherDomain), 1u);
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
    EXPECT_EQ(capture.count("UserDefaults", "Einstellungen konnten nicht gespeichert werden: Is a directory"), 1u);
    EXPECT_EQ(fileNames(directory.path()), std::set<std::string>{std::string(domain) + ".plist"});  // no temporary left
}

TEST_F(UserDefaultsPersistence, FullDiskIsLoggedAndKeepsTheValueInMemory) {
    // The child limits its file size to simulate a full disk without touching the parent.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{1024, 1024};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        LogCapture capture;
        const auto defaults = open();
        defaults->set("big", Data(8192, 0x5A));
        int status = 0;
        if (capture.count("UserDefaults", "Einstellungen konnten nicht gespeichert werden: File too large") != 1)
            status |= 1;
        if (!defaults->data("big") || defaults->data("big")->size() != 8192)
            status |= 2;
        if (std::filesystem::exists(file()))
            status |= 4;
        if (fileNames(directory.path()).size() != 0)
            status |= 8;
        ::_exit(status);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
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
    EXPECT_EQ(
        capture.count("UserDefaults",
                      "Einstellungen konnten nicht gespeichert werden: the value exceeds the property-list limits"),
        2u);
    EXPECT_EQ(PropertyListSerialization::propertyList(readFile(file())),
              PropertyListValue(Dictionary{{"key", "kept"}}));
}

TEST_F(UserDefaultsPersistence, InvalidDomainsAreRejected) {
    for (const std::string bad : {"", ".", "..", "a/b"}) {
        EXPECT_THROW(UserDefaults::persistent(bad, directory.path()), std::invalid_argument) << bad;
    }
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
        const auto defaults = open();
        EXPECT_TRUE(capture.entries().empty());  // the file was not corrupt
        const auto stored = defaults->object("record");
        ASSERT_TRUE(stored.has_value());
        const std::int64_t sequence = defaults->dictionary("record")->at("sequence").get<std::int64_t>();
        EXPECT_TRUE(sequence == acknowledged || sequence == acknowledged + 1) << sequence << " vs " << acknowledged;
        EXPECT_EQ(*stored, record(sequence));
        EXPECT_EQ(fileNames(directory.path()), std::set<std::string>{std::string(domain) + ".plist"});
    }
}

// Restores an environment variable on destruction.
class EnvironmentOverride {
public:
    EnvironmentOverride(const char* name, const std::string& value) : name_(name) {
        if (const char* previous = std::getenv(name))
            saved_ = previous;
        ::setenv(name, value.c_str(), 1);
    }
    ~EnvironmentOverride() {
        if (saved_) {
            ::setenv(name_, saved_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }

private:
    const char* name_;
    std::optional<std::string> saved_;
};

TEST(UserDefaultsLocation, ConfigDirectoryFollowsXdgConfigHomeOrHome) {
    EnvironmentOverride home("HOME", "/home/someone");
    {
        EnvironmentOverride relative("XDG_CONFIG_HOME", "relative/path");  // ignored: must be absolute
        EXPECT_EQ(UserDefaults::configDirectory(), std::filesystem::path("/home/someone/.config/velunto"));
    }
    EnvironmentOverride absolute("XDG_CONFIG_HOME", "/srv/config");
    EXPECT_EQ(UserDefaults::configDirectory(), std::filesystem::path("/srv/config/velunto"));
}

// standard() is created once per process, so it is checked in a fresh child process.
TEST(UserDefaultsLocation, StandardDatabaseLivesInTheConfigDirectory) {
    TemporaryDirectory directory;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::setenv("XDG_CONFIG_HOME", directory.path().c_str(), 1);
        const std::filesystem::path expected = directory.path() / "velunto" / "app.velunto.plist";
        const auto standard = UserDefaults::standard();
        int status = 0;
        if (standard->filePath() != expected)
            status |= 1;
        if (!std::filesystem::is_directory(directory.path() / "velunto"))
            status |= 2;
        if (standard != UserDefaults::standard())
            status |= 4;
        standard->set("app.velunto.isRunning", true);
        const auto stored = PropertyListSerialization::propertyList(readFile(expected));
        if (!stored || *stored != PropertyListValue(Dictionary{{"app.velunto.isRunning", true}}))
            status |= 8;
        ::_exit(status);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace velunto
