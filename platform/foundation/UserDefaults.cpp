#include "platform/foundation/UserDefaults.h"

#include "platform/foundation/PropertyListSerialization.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <map>
#include <mutex>
#include <stdexcept>

namespace velunto {
namespace {

// Larger than any file within the property-list limits; guards against reading a huge file.
constexpr std::uint64_t maximumFileSize = std::uint64_t{512} << 20;

[[maybe_unused]] std::string strerrorResult(int result, const char* buffer) {
    return result == 0 ? std::string(buffer) : std::string("Unknown error");
}
[[maybe_unused]] std::string strerrorResult(const char* result, const char*) {
    return std::string(result);
}

std::string errorText(int error) {
    char buffer[256] = {};
    return strerrorResult(strerror_r(error, buffer, sizeof buffer), buffer);
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

std::string_view trimmedStart(std::string_view text) {
    while (!text.empty() && isSpace(text.front()))
        text.remove_prefix(1);
    return text;
}

std::int64_t leadingInteger(std::string_view text) {
    text = trimmedStart(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    // Accumulated as a negative number so that INT64_MIN is reachable.
    constexpr std::int64_t lowest = std::numeric_limits<std::int64_t>::min();
    std::int64_t value = 0;
    bool overflow = false;
    for (const char c : text) {
        if (c < '0' || c > '9')
            break;
        const int digit = c - '0';
        if (value < (lowest + digit) / 10) {
            overflow = true;
            break;
        }
        value = value * 10 - digit;
    }
    if (overflow)
        return negative ? lowest : std::numeric_limits<std::int64_t>::max();
    if (negative)
        return value;
    return value == lowest ? std::numeric_limits<std::int64_t>::max() : -value;
}

double leadingDouble(std::string_view text) {
    text = trimmedStart(text);
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    double value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    return result.ec == std::errc() ? value : 0.0;
}

std::int64_t truncatedInteger(double value) {
    if (std::isnan(value))
        return 0;
    if (value >= 9223372036854775807.0)
        return std::numeric_limits<std::int64_t>::max();
    if (value <= -9223372036854775808.0)
        return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(value);
}

std::string shortestText(double value) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

bool equalsIgnoringCase(std::string_view text, std::string_view lowercase) {
    return text.size() == lowercase.size() &&
           std::equal(text.begin(), text.end(), lowercase.begin(), [](char a, char b) {
               return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
           });
}

bool stringAsBoolean(std::string_view text) {
    text = trimmedStart(text);
    while (!text.empty() && isSpace(text.back()))
        text.remove_suffix(1);
    if (equalsIgnoringCase(text, "yes") || equalsIgnoringCase(text, "true"))
        return true;
    if (equalsIgnoringCase(text, "no") || equalsIgnoringCase(text, "false"))
        return false;
    return leadingInteger(text) != 0;
}

std::string timestampForFileName() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char buffer[32];
    const std::size_t length = std::strftime(buffer, sizeof buffer, "%Y%m%d-%H%M%S", &local);
    return std::string(buffer, length);
}

bool writeAll(int fd, const Data& bytes) {
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        written += static_cast<std::size_t>(n);
    }
    return true;
}

// fsync of the directory makes a rename durable. Some file systems refuse it for directories.
int syncDirectory(const std::filesystem::path& directory) {
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    int error = 0;
    if (::fsync(fd) != 0 && errno != EINVAL)
        error = errno;
    ::close(fd);
    return error;
}

std::optional<Data> readWholeFile(int fd) {
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))
        return std::nullopt;
    if (static_cast<std::uint64_t>(status.st_size) > maximumFileSize)
        return std::nullopt;
    Data bytes(static_cast<std::size_t>(status.st_size));
    std::size_t total = 0;
    while (true) {
        if (total == bytes.size())
            bytes.resize(total + 4096);  // the file may have grown
        const ssize_t n = ::read(fd, bytes.data() + total, bytes.size() - total);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        if (n == 0)
            break;
        total += static_cast<std::size_t>(n);
        if (total > maximumFileSize)
            return std::nullopt;
    }
    bytes.resize(total);
    return bytes;
}

bool processIsGone(pid_t pid) {
    return ::kill(pid, 0) != 0 && errno == ESRCH;
}

std::mutex& registryMutex() {
    static std::mutex mutex;
    return mutex;
}

std::map<std::filesystem::path, std::weak_ptr<UserDefaults>>& registry() {
    static std::map<std::filesystem::path, std::weak_ptr<UserDefaults>> instances;
    return instances;
}

}  // namespace

std::shared_ptr<UserDefaults> UserDefaults::standard() {
    static const std::shared_ptr<UserDefaults> instance = persistent(standardDomain, configDirectory());
    return instance;
}

std::shared_ptr<UserDefaults> UserDefaults::persistent(std::string domain, std::filesystem::path directory) {
    if (domain.empty() || domain == "." || domain == ".." || domain.find('/') != std::string::npos ||
        domain.find('\0') != std::string::npos) {
        throw std::invalid_argument("invalid user-defaults domain: " + domain);
    }
    directory = std::filesystem::absolute(directory).lexically_normal();
    if (!directory.has_filename() && directory != directory.root_path())
        directory = directory.parent_path();
    const std::filesystem::path file = directory / (domain + ".plist");

    std::lock_guard lock(registryMutex());
    auto& instances = registry();
    std::erase_if(instances, [](const auto& entry) { return entry.second.expired(); });
    if (auto existing = instances[file].lock())
        return existing;
    std::shared_ptr<UserDefaults> created(new UserDefaults(std::move(domain), std::move(directory)));
    instances[file] = created;
    return created;
}

std::shared_ptr<UserDefaults> UserDefaults::inMemory() {
    return std::shared_ptr<UserDefaults>(new UserDefaults());
}

std::filesystem::path UserDefaults::configDirectory() {
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && xdg[0] == '/') {
        return std::filesystem::path(xdg) / "velunto";
    }
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') {
        return std::filesystem::path(home) / ".config" / "velunto";
    }
    struct passwd entry {};
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr) {
        return std::filesystem::path(found->pw_dir) / ".config" / "velunto";
    }
    return std::filesystem::temp_directory_path() / "velunto";
}

UserDefaults::UserDefaults(std::string domain, std::filesystem::path directory)
    : domain_(std::move(domain)), directory_(std::move(directory)), file_(directory_ / (domain_ + ".plist")) {
    load();
}

UserDefaults::~UserDefaults() = default;

void UserDefaults::load() {
    std::error_code error;
    std::filesystem::create_directories(directory_, error);
    removeStaleTemporaries();

    const int fd = ::open(file_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT)
            moveAsideCorruptFile();
        return;
    }
    const std::optional<Data> bytes = readWholeFile(fd);
    ::close(fd);
    std::optional<PropertyListValue> parsed;
    if (bytes)
        parsed = PropertyListSerialization::propertyList(*bytes);
    if (!parsed || !parsed->isDictionary()) {
        moveAsideCorruptFile();
        return;
    }
    root_ = std::move(*parsed);
}

void UserDefaults::removeStaleTemporaries() const {
    const std::string prefix = file_.filename().string() + ".tmp-";
    std::error_code error;
    std::filesystem::directory_iterator entries(directory_, error);
    const std::filesystem::directory_iterator end;
    for (; !error && entries != end; entries.increment(error)) {
        const std::string name = entries->path().filename().string();
        if (!name.starts_with(prefix))
            continue;
        const std::string_view rest = std::string_view(name).substr(prefix.size());
        long long pid = 0;
        const auto parsed = std::from_chars(rest.data(), rest.data() + rest.size(), pid);
        if (parsed.ec != std::errc() || parsed.ptr == rest.data() || parsed.ptr == rest.data() + rest.size() ||
            *parsed.ptr != '-' || pid <= 0 || pid > std::numeric_limits<pid_t>::max()) {
            continue;
        }
        if (static_cast<pid_t>(pid) == ::getpid() || !processIsGone(static_cast<pid_t>(pid)))
            continue;
        ::unlink(entries->path().c_str());
    }
}

void UserDefaults::moveAsideCorruptFile() {
    const std::string base = file_.string() + ".corrupt-" + timestampForFileName();
    std::string target = base;
    int error = 0;
    for (int attempt = 1;; ++attempt) {
        if (::renameat2(AT_FDCWD, file_.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
            error = 0;
            break;
        }
        error = errno;
        if (error == EINVAL || error == ENOSYS) {
            // No RENAME_NOREPLACE on this file system: check, then rename.
            std::error_code ignored;
            if (!std::filesystem::exists(target, ignored)) {
                error = ::rename(file_.c_str(), target.c_str()) == 0 ? 0 : errno;
                if (error == 0)
                    break;
            } else {
                error = EEXIST;
            }
        }
        if (error != EEXIST || attempt > 10000)
            break;
        target = base + "-" + std::to_string(attempt);
    }
    if (error != 0) {
        logger_.error("Einstellungsdatei %{public}s ist beschädigt und konnte nicht verschoben werden: %{public}s",
                      file_.string(), errorText(error));
        return;
    }
    syncDirectory(directory_);
    logger_.error("Einstellungsdatei %{public}s ist beschädigt und wurde nach %{public}s verschoben.", file_.string(),
                  target);
}

bool UserDefaults::persistLocked() {
    if (file_.empty())
        return true;
    Data bytes;
    try {
        bytes = PropertyListSerialization::binaryData(root_);
    } catch (const std::exception& exception) {
        logger_.error("Einstellungen konnten nicht gespeichert werden: %{public}s", exception.what());
        unsavedChanges_ = true;
        return false;
    }

    const std::filesystem::path temporary =
        directory_ /
        (file_.filename().string() + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(++writeSequence_));
    int error = 0;
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = errno;
    } else {
        if (!writeAll(fd, bytes) || ::fsync(fd) != 0)
            error = errno;
        if (::close(fd) != 0 && error == 0)
            error = errno;
        if (error == 0 && ::rename(temporary.c_str(), file_.c_str()) != 0)
            error = errno;
        if (error != 0)
            ::unlink(temporary.c_str());
    }
    if (error == 0)
        error = syncDirectory(directory_);
    if (error != 0) {
        logger_.error("Einstellungen konnten nicht gespeichert werden: %{public}s", errorText(error));
        unsavedChanges_ = true;
        return false;
    }
    unsavedChanges_ = false;
    return true;
}

const PropertyListValue* UserDefaults::findLocked(const std::string& key) const {
    const auto& values = root_.get<PropertyListValue::Dictionary>();
    const auto found = values.find(key);
    return found == values.end() ? nullptr : &found->second;
}

std::optional<PropertyListValue> UserDefaults::object(const std::string& key) const {
    std::shared_lock lock(mutex_);
    const PropertyListValue* found = findLocked(key);
    if (found == nullptr)
        return std::nullopt;
    return *found;
}

std::optional<Data> UserDefaults::data(const std::string& key) const {
    std::shared_lock lock(mutex_);
    const PropertyListValue* found = findLocked(key);
    if (found == nullptr || !found->isData())
        return std::nullopt;
    return found->get<Data>();
}

std::optional<std::string> UserDefaults::string(const std::string& key) const {
    std::shared_lock lock(mutex_);
    const PropertyListValue* found = findLocked(key);
    if (found == nullptr)
        return std::nullopt;
    const PropertyListValue& value = *found;
    switch (value.type()) {
        case PropertyListValue::Type::string:
            return value.get<std::string>();
        case PropertyListValue::Type::integer:
            return std::to_string(value.get<std::int64_t>());
        case PropertyListValue::Type::real:
            return shortestText(value.get<double>());
        case PropertyListValue::Type::boolean:
            return std::string(value.get<bool>() ? "1" : "0");
        default:
            return std::nullopt;
    }
}

bool UserDefaults::boolean(const std::string& key) const {
    std::shared_lock lock(mutex_);
    const PropertyListValue* found = findLocked(key);
    if (found == nullptr)
        return false;
    const PropertyListValue& value = *found;
    switch (value.type()) {
        case PropertyListValue::Type::boolean:
            return value.get<bool>();
        case PropertyListValue::Type::integer:
            return value.get<std::int64_t>() != 0;
        case PropertyListValue::Type::real:
            return value.get<double>() != 0.0;
        case PropertyListValue::Type::string:
            return stringAsBoolean(value.get<std::string>());
        default:
            return false;
    }
}

std::int64_t UserDefaults::integer(const std::string& key) const {
    std::shared_lock lock(mutex_);
    const PropertyListValue* found = findLocked(key);
    if (found == nullptr)
        return 0;
    const PropertyListValue& value = *found;
    switch (value.type()) {
        case PropertyListValue::Type::integer:
            return value.get<std::int64_t>();
        case PropertyListValue::Type::real:
            return truncatedInteger(value.get<double>());
        case PropertyListValue::Type::boolean:
            return value.get<bool>() ? 1 : 0;
        case PropertyListValue::Type::string:
            return leadingInteger(value.get<std::string>());
        default:
            return 0;
    }
}

double UserDefaults::doubleValue(const std::string& key) const {
    std::shared_lock lock(mutex_);
    const PropertyListValue* found = findLocked(key);
    if (found == nullptr)
        return 0;
    const PropertyListValue& value = *found;
    switch (value.type()) {
        case PropertyListValue::Type::real:
            return value.get<double>();
        case PropertyListValue::Type::integer:
            return static_cast<double>(value.get<std::int64_t>());
        case PropertyListValue::Type::boolean:
            return value.get<bool>() ? 1.0 : 0.0;
        case PropertyListValue::Type::string:
            return leadingDouble(value.get<std::string>());
        default:
            return 0;
    }
}

std::optional<PropertyListValue::Array> UserDefaults::array(const std::string& key) const {
    std::shared_lock lock(mutex_);
    const PropertyListValue* found = findLocked(key);
    if (found == nullptr || !found->isArray())
        return std::nullopt;
    return found->get<PropertyListValue::Array>();
}

std::optional<PropertyListValue::Dictionary> UserDefaults::dictionary(const std::string& key) const {
    std::shared_lock lock(mutex_);
    const PropertyListValue* found = findLocked(key);
    if (found == nullptr || !found->isDictionary())
        return std::nullopt;
    return found->get<PropertyListValue::Dictionary>();
}

void UserDefaults::set(const std::string& key, PropertyListValue value) {
    std::unique_lock lock(mutex_);
    auto& values = root_.get<PropertyListValue::Dictionary>();
    std::optional<PropertyListValue> previous;
    if (const auto found = values.find(key); found != values.end())
        previous = std::move(found->second);
    values.insert_or_assign(key, std::move(value));
    if (!PropertyListSerialization::isWithinLimits(root_)) {
        if (previous) {
            values.insert_or_assign(key, std::move(*previous));
        } else {
            values.erase(key);
        }
        logger_.error("Einstellungen konnten nicht gespeichert werden: %{public}s",
                      "the value exceeds the property-list limits");
        return;
    }
    persistLocked();
}

void UserDefaults::removeObject(const std::string& key) {
    std::unique_lock lock(mutex_);
    const bool removed = root_.get<PropertyListValue::Dictionary>().erase(key) > 0;
    if (removed || unsavedChanges_)
        persistLocked();
}

std::filesystem::path UserDefaults::filePath() const {
    return file_;
}

}  // namespace velunto
