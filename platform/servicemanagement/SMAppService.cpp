#include "platform/servicemanagement/SMAppService.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <system_error>

#include "platform/appkit/NSURL.h"
#include "platform/appkit/NSWorkspace.h"
#include "platform/servicemanagement/DesktopEntry.h"

namespace velunto {

namespace fs = std::filesystem;

namespace {

void fail(NSError* error, long code, std::string description) {
    if (error != nullptr)
        *error = NSError{SMAppServiceErrorDomain, code, std::move(description)};
}

std::optional<DesktopEntry> readEntry(const fs::path& file) {
    std::ifstream in(file);
    if (!in)
        return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return DesktopEntry::parse(text.str());
}

bool isExecutableFile(const fs::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// Writes through a temporary file in the same folder and renames it into place.
bool writeAtomically(const fs::path& file, const std::string& content, std::string& failure) {
    std::string temporary = (file.parent_path() / ("." + file.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        failure = std::strerror(errno);
        return false;
    }
    bool ok = ::fchmod(fd, 0644) == 0;
    for (std::size_t written = 0; ok && written < content.size();) {
        const ssize_t n = ::write(fd, content.data() + written, content.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok)
            written += static_cast<std::size_t>(n);
    }
    ok = ok && ::fsync(fd) == 0;
    if (!ok)
        failure = std::strerror(errno);
    ok = ::close(fd) == 0 && ok;
    if (ok && ::rename(temporary.c_str(), file.c_str()) != 0) {
        failure = std::strerror(errno);
        ok = false;
    }
    if (!ok)
        ::unlink(temporary.c_str());
    return ok;
}

std::string fileURL(const fs::path& path) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string url = "file://";
    for (const unsigned char c : path.string()) {
        if (std::isalnum(c) != 0 || std::strchr("/-._~", c) != nullptr) {
            url += static_cast<char>(c);
        } else {
            url += '%';
            url += hex[c >> 4];
            url += hex[c & 0xF];
        }
    }
    return url;
}

}  // namespace

SMAppService::SMAppService() : logger_("app.velunto.sm", "LoginItem") {
    std::error_code ec;
    const fs::path executable = fs::read_symlink("/proc/self/exe", ec);
    if (!ec)
        mainPath_ = executable.string();
}

SMAppService& SMAppService::mainAppService() {
    static auto* service = new SMAppService();
    return *service;
}

void SMAppService::setMainApplicationPath(std::string path) {
    std::lock_guard lock(mutex_);
    mainPath_ = std::move(path);
}

std::string SMAppService::mainApplicationPath() const {
    std::lock_guard lock(mutex_);
    return mainPath_;
}

fs::path SMAppService::autostartDirectory() {
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && xdg[0] == '/')
        return fs::path(xdg) / "autostart";
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0')
        return fs::path(home) / ".config" / "autostart";
    struct passwd entry {};
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr)
        return fs::path(found->pw_dir) / ".config" / "autostart";
    return fs::temp_directory_path() / "autostart";
}

fs::path SMAppService::entryPath() {
    return autostartDirectory() / "velunto.desktop";
}

SMAppServiceStatus SMAppService::status() const {
    const fs::path file = entryPath();
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(file, ec)))
        return SMAppServiceStatus::notRegistered;
    const auto entry = readEntry(file);
    if (!entry)
        return SMAppServiceStatus::notFound;
    if (entry->boolean("Hidden") == true || entry->boolean("X-GNOME-Autostart-enabled") == false)
        return SMAppServiceStatus::requiresApproval;
    if (mainApplicationPath().empty())
        return SMAppServiceStatus::notFound;
    const auto program = entry->execProgram();
    if (!program)
        return SMAppServiceStatus::notFound;
    std::optional<fs::path> resolved = fs::path(*program);
    if (program->find('/') == std::string::npos)
        resolved = NSWorkspace::findOnPath(*program);
    return resolved && isExecutableFile(*resolved) ? SMAppServiceStatus::enabled : SMAppServiceStatus::notFound;
}

bool SMAppService::registerAndReturnError(NSError* error) {
    std::lock_guard lock(mutex_);
    if (mainPath_.empty()) {
        fail(error, kSMErrorInternalFailure,
             "Velunto kann nicht als Anmeldeobjekt eingetragen werden: Der Pfad des Programms ist unbekannt.");
        return false;
    }
    const fs::path directory = autostartDirectory();
    const fs::path file = directory / "velunto.desktop";
    std::error_code ec;
    fs::create_directories(directory, ec);
    if (ec || !fs::is_directory(directory)) {
        const std::string reason = ec ? ec.message() : std::strerror(ENOTDIR);
        fail(error, kSMErrorInternalFailure,
             "Der Ordner „" + directory.string() + "“ für Anmeldeobjekte kann nicht angelegt werden (" + reason + ").");
        logger_.error("Autostart-Ordner %{public}s: %{public}s", directory.string(), reason);
        return false;
    }
    // A switch the user turned off stays off; only they can allow it again.
    bool hidden = false;
    bool switchedOff = false;
    if (const auto existing = readEntry(file)) {
        hidden = existing->boolean("Hidden") == true;
        switchedOff = existing->boolean("X-GNOME-Autostart-enabled") == false;
    }
    const std::string program = fs::absolute(fs::path(mainPath_), ec).lexically_normal().string();
    std::string content = "[Desktop Entry]\nType=Application\nName=Velunto\nExec=" + DesktopEntry::quoteExec(program) +
                          "\nX-GNOME-Autostart-enabled=" + (switchedOff ? "false" : "true") + "\nNoDisplay=false\n";
    if (hidden)
        content += "Hidden=true\n";
    std::string failure;
    if (!writeAtomically(file, content, failure)) {
        fail(error, kSMErrorInternalFailure,
             "Das Anmeldeobjekt „" + file.string() + "“ kann nicht geschrieben werden (" + failure + ").");
        logger_.error("Autostart-Eintrag %{public}s: %{public}s", file.string(), failure);
        return false;
    }
    logger_.info("Anmeldeobjekt eingetragen: %{public}s%{public}s", file.string(),
                 hidden || switchedOff ? " (vom Benutzer ausgeschaltet)" : "");
    return true;
}

bool SMAppService::unregisterAndReturnError(NSError* error) {
    std::lock_guard lock(mutex_);
    const fs::path file = entryPath();
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(file, ec))) {
        fail(error, kSMErrorJobNotFound, "Velunto ist nicht als Anmeldeobjekt registriert.");
        return false;
    }
    if (!fs::remove(file, ec) || ec) {
        const std::string reason = ec ? ec.message() : std::strerror(ENOENT);
        fail(error, kSMErrorInternalFailure,
             "Das Anmeldeobjekt „" + file.string() + "“ kann nicht entfernt werden (" + reason + ").");
        return false;
    }
    logger_.info("Anmeldeobjekt entfernt: %{public}s", file.string());
    return true;
}

void SMAppService::openSystemSettingsLoginItems() {
    const fs::path directory = autostartDirectory();
    std::error_code ec;
    fs::create_directories(directory, ec);  // something to show even before the first registration
    if (const auto url = NSURL::URLWithString(fileURL(directory)))
        NSWorkspace::sharedWorkspace().openURL(*url);
}

}  // namespace velunto
