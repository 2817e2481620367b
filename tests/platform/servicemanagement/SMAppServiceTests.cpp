#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "platform/appkit/NSWorkspace.h"
#include "platform/servicemanagement/DesktopEntry.h"
#include "platform/servicemanagement/SMAppService.h"
#include "tests/platform/foundation/TemporaryDirectory.h"

namespace velunto {
namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const fs::path& path, const std::string& text) {
    std::ofstream(path) << text;
}

class SMAppServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* old = std::getenv("XDG_CONFIG_HOME"))
            savedConfig = old;
        ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
        savedProgram = service.mainApplicationPath();
        fs::create_directories(program.parent_path());
        writeFile(program, "#!/bin/sh\n");
        fs::permissions(program, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
        service.setMainApplicationPath(program.string());
    }
    void TearDown() override {
        service.setMainApplicationPath(savedProgram);
        NSWorkspace::sharedWorkspace().setOpener({});
        if (savedConfig)
            ::setenv("XDG_CONFIG_HOME", savedConfig->c_str(), 1);
        else
            ::unsetenv("XDG_CONFIG_HOME");
    }

    TemporaryDirectory temporary;
    const fs::path config = temporary.path() / "Eigene Dateien" / "config";
    const fs::path entry = config / "autostart" / "velunto.desktop";
    const fs::path program = temporary.path() / "bin" / "Velunto";
    SMAppService& service = SMAppService::mainAppService();
    std::optional<std::string> savedConfig;
    std::string savedProgram;
};

TEST_F(SMAppServiceTest, RegisteringWritesAStartableEntry) {
    EXPECT_EQ(SMAppService::entryPath(), entry);
    EXPECT_EQ(service.status(), SMAppServiceStatus::notRegistered);
    NSError error;
    ASSERT_TRUE(service.registerAndReturnError(&error)) << error.localizedDescription;
    EXPECT_EQ(readFile(entry), "[Desktop Entry]\nType=Application\nName=Velunto\nExec=\"" + program.string() +
                                   "\"\nX-GNOME-Autostart-enabled=true\nNoDisplay=false\n");
    EXPECT_EQ(service.status(), SMAppServiceStatus::enabled);
    // Only the entry is left behind, no temporary file.
    EXPECT_EQ(std::distance(fs::directory_iterator(entry.parent_path()), fs::directory_iterator()), 1);
}

TEST_F(SMAppServiceTest, ExecQuotesAwkwardPaths) {
    const fs::path awkward = temporary.path() / "bin" / "Velunto \"Beta\" $1 \\ 100%";
    fs::copy_file(program, awkward);
    service.setMainApplicationPath(awkward.string());
    ASSERT_TRUE(service.registerAndReturnError(nullptr));
    const std::string expected =
        "Exec=\"" + (temporary.path() / "bin").string() + "/Velunto \\\\\"Beta\\\\\" \\\\$1 \\\\\\\\ 100%%\"\n";
    EXPECT_NE(readFile(entry).find(expected), std::string::npos) << readFile(entry);
    EXPECT_EQ(DesktopEntry::parse(readFile(entry)).execProgram(), awkward.string());
    EXPECT_EQ(service.status(), SMAppServiceStatus::enabled);
}

TEST_F(SMAppServiceTest, StatusTellsSwitchedOffAndMissingPrograms) {
    ASSERT_TRUE(service.registerAndReturnError(nullptr));
    const std::string registered = readFile(entry);

    writeFile(entry, registered + "Hidden=true\n");
    EXPECT_EQ(service.status(), SMAppServiceStatus::requiresApproval);
    writeFile(entry, "[Desktop Entry]\nExec=" + program.string() + " --hidden\nX-GNOME-Autostart-enabled = false\n");
    EXPECT_EQ(service.status(), SMAppServiceStatus::requiresApproval);
    writeFile(entry, "[Other]\nHidden=true\n[Desktop Entry]\nExec=" + program.string() + " --hidden\n");
    EXPECT_EQ(service.status(), SMAppServiceStatus::enabled);

    writeFile(entry, registered);
    fs::permissions(program, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(service.status(), SMAppServiceStatus::notFound);
    fs::remove(program);
    EXPECT_EQ(service.status(), SMAppServiceStatus::notFound);
    writeFile(entry, "[Desktop Entry]\nExec=sh -c true\n");  // looked up in PATH
    EXPECT_EQ(service.status(), SMAppServiceStatus::enabled);
    service.setMainApplicationPath("");
    EXPECT_EQ(service.status(), SMAppServiceStatus::notFound);
}

TEST_F(SMAppServiceTest, RegisteringAgainKeepsTheUserSwitchOff) {
    fs::create_directories(entry.parent_path());
    for (const std::string off : {"X-GNOME-Autostart-enabled=false", "Hidden=true"}) {
        writeFile(entry, "[Desktop Entry]\nType=Application\nExec=/nicht/mehr/da\n" + off + "\n");
        NSError error;
        ASSERT_TRUE(service.registerAndReturnError(&error)) << error.localizedDescription;
        EXPECT_EQ(service.status(), SMAppServiceStatus::requiresApproval) << off;
        const DesktopEntry written = DesktopEntry::parse(readFile(entry));
        EXPECT_EQ(written.execProgram(), program.string());
        EXPECT_TRUE(written.boolean("Hidden") == true || written.boolean("X-GNOME-Autostart-enabled") == false);
    }
}

TEST_F(SMAppServiceTest, UnregisterRemovesTheEntryOnce) {
    ASSERT_TRUE(service.registerAndReturnError(nullptr));
    NSError error;
    ASSERT_TRUE(service.unregisterAndReturnError(&error)) << error.localizedDescription;
    EXPECT_FALSE(fs::exists(entry));
    EXPECT_EQ(service.status(), SMAppServiceStatus::notRegistered);

    EXPECT_FALSE(service.unregisterAndReturnError(&error));
    EXPECT_EQ(error.domain, SMAppServiceErrorDomain);
    EXPECT_EQ(error.code, kSMErrorJobNotFound);
    EXPECT_EQ(error.localizedDescription, "Velunto ist nicht als Anmeldeobjekt registriert.");
    EXPECT_FALSE(service.unregisterAndReturnError(nullptr));
}

TEST_F(SMAppServiceTest, UnwritableFolderOrUnknownProgramFails) {
    // A regular file where the folder should be: fails for root as well.
    fs::create_directories(config.parent_path());
    writeFile(config, "kein Ordner");
    NSError error;
    EXPECT_FALSE(service.registerAndReturnError(&error));
    EXPECT_EQ(error.domain, SMAppServiceErrorDomain);
    EXPECT_NE(error.localizedDescription.find(entry.parent_path().string()), std::string::npos)
        << error.localizedDescription;
    EXPECT_EQ(service.status(), SMAppServiceStatus::notRegistered);

    fs::remove(config);
    service.setMainApplicationPath("");
    error = {};
    EXPECT_FALSE(service.registerAndReturnError(&error));
    EXPECT_FALSE(error.localizedDescription.empty());
    EXPECT_FALSE(fs::exists(entry));
}

TEST_F(SMAppServiceTest, SettingsOpenTheAutostartFolder) {
    std::vector<std::string> opened;
    NSWorkspace::sharedWorkspace().setOpener([&](const NSURL& url) {
        opened.push_back(url.absoluteString());
        return true;
    });
    SMAppService::openSystemSettingsLoginItems();
    std::string expected = "file://" + entry.parent_path().string();
    expected.replace(expected.find(' '), 1, "%20");
    EXPECT_EQ(opened, std::vector<std::string>{expected});
    EXPECT_TRUE(fs::is_directory(entry.parent_path()));
}

}  // namespace
}  // namespace velunto
