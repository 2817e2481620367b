#pragma once

#include "platform/foundation/PropertyListValue.h"
#include "platform/oslog/Logger.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>

namespace velunto {

// A user-defaults database: one dictionary of property-list values per domain.
//
// A persistent database lives in <directory>/<domain>.plist as a binary property list. The file is
// read once when the database is opened; reads are served from memory. Every change is written
// synchronously before the call returns: the whole dictionary goes to a temporary file in the same
// directory (named after the writing process), which is fsynced and renamed over the file, and the
// directory is fsynced. A killed writer therefore leaves either the old or the new file; temporaries
// of writers that no longer run are removed when the database is next opened.
//
// A file that cannot be read or decoded, or whose root is not a dictionary, is moved aside to
// <domain>.plist.corrupt-YYYYMMDD-HHMMSS (with "-N" appended if that exists), logged once at error
// level, and the database starts empty. A failed write is logged at error level; the value in
// memory changes anyway.
//
// Thread-safe. Within a process there is at most one live instance per file. Several processes
// writing the same domain do not merge: the last write replaces the file.
class UserDefaults {
public:
    static constexpr const char* standardDomain = "app.velunto";

    // The application's domain in configDirectory(); the same instance for the life of the process.
    static std::shared_ptr<UserDefaults> standard();
    // The live instance for <directory>/<domain>.plist if there is one, otherwise opens the file.
    // The directory is created if missing. Throws std::invalid_argument for a domain that is not a
    // plain file name.
    static std::shared_ptr<UserDefaults> persistent(std::string domain, std::filesystem::path directory);
    // A database that is never stored.
    static std::shared_ptr<UserDefaults> inMemory();
    // $XDG_CONFIG_HOME/velunto, or ~/.config/velunto.
    static std::filesystem::path configDirectory();

    UserDefaults(const UserDefaults&) = delete;
    UserDefaults& operator=(const UserDefaults&) = delete;
    ~UserDefaults();

    std::optional<PropertyListValue> object(const std::string& key) const;
    std::optional<Data> data(const std::string& key) const;
    // A string, or a number as text: integers "42", reals in shortest form "0.5", booleans "1"/"0".
    std::optional<std::string> string(const std::string& key) const;
    // Missing: false. Numbers: != 0. Strings: "yes"/"true" and "no"/"false" in any case, otherwise
    // the leading integer != 0. Other types: false.
    bool boolean(const std::string& key) const;
    // Missing: 0. Reals truncated toward zero and clamped; booleans 0/1; strings: leading whitespace,
    // optional sign, digits ("12abc" -> 12, "3.7" -> 3, "abc" -> 0). Other types: 0.
    std::int64_t integer(const std::string& key) const;
    // Missing: 0. Integers and booleans converted; strings: the leading decimal number. Other types: 0.
    double doubleValue(const std::string& key) const;
    std::optional<PropertyListValue::Array> array(const std::string& key) const;
    std::optional<PropertyListValue::Dictionary> dictionary(const std::string& key) const;

    // Both are durable when they return (unless the write failed, which is logged). A value the
    // property-list limits would reject is not stored at all (logged).
    void set(const std::string& key, PropertyListValue value);
    void removeObject(const std::string& key);

    std::filesystem::path filePath() const;  // empty for an in-memory database

private:
    UserDefaults() = default;
    UserDefaults(std::string domain, std::filesystem::path directory);
    void load();
    void removeStaleTemporaries() const;
    void moveAsideCorruptFile();
    // Writes the whole dictionary; caller holds the exclusive lock.
    bool persistLocked();
    // The stored value or null; caller holds the lock.
    const PropertyListValue* findLocked(const std::string& key) const;

    std::string domain_;
    std::filesystem::path directory_;
    std::filesystem::path file_;
    Logger logger_{"app.velunto", "UserDefaults"};
    mutable std::shared_mutex mutex_;
    PropertyListValue root_{PropertyListValue::Dictionary{}};
    std::uint64_t writeSequence_ = 0;
    bool unsavedChanges_ = false;
};

}  // namespace velunto
