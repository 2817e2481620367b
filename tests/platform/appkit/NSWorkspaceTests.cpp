#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

#include "platform/appkit/NSURL.h"
#include "platform/appkit/NSWorkspace.h"
#include "platform/oslog/LogCapture.h"

namespace velunto {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST(NSURLTest, AcceptsAbsoluteURLsOnly) {
    for (const std::string text : {"https://velunto.app/hilfe?seite=2#mikrofon", "mailto:hilfe@velunto.app",
                                   "x-velunto+app.1:open", "urn:isbn:3-16-148410-0", "HTTP://ÄÖÜ.example"}) {
        const auto url = NSURL::URLWithString(text);
        ASSERT_TRUE(url.has_value()) << text;
        EXPECT_EQ(url->absoluteString(), text);
        EXPECT_EQ(url->scheme(), text.substr(0, text.find(':')));
    }
    for (const std::string text : {"", "velunto.app/hilfe", ":leer", "1http://x", "h_t://x", "ht tp://x",
                                   "http:", "http://a b", "http://a\tb", "http://a\nb", "http://a\x7f", "ä://x"}) {
        EXPECT_FALSE(NSURL::URLWithString(text).has_value()) << text;
    }
}

class NSWorkspaceTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/velunto-workspace-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root = pattern;
        if (const char* old = std::getenv("PATH"))
            savedPath = old;
        ::setenv("PATH", root.c_str(), 1);
    }
    void TearDown() override {
        NSWorkspace::sharedWorkspace().setOpener({});
        if (savedPath)
            ::setenv("PATH", savedPath->c_str(), 1);
        fs::remove_all(root);
    }

    fs::path root;
    std::optional<std::string> savedPath;
    const NSURL url = *NSURL::URLWithString("https://velunto.app/hilfe?a=1&b='2'");
};

TEST_F(NSWorkspaceTest, OpenerHookReplacesAndRestoresXdgOpen) {
    auto& workspace = NSWorkspace::sharedWorkspace();
    std::vector<std::string> opened;
    workspace.setOpener([&](const NSURL& target) {
        opened.push_back(target.absoluteString());
        return opened.size() == 1;
    });
    EXPECT_TRUE(workspace.openURL(url));
    EXPECT_FALSE(workspace.openURL(url));
    EXPECT_EQ(opened, (std::vector<std::string>{url.absoluteString(), url.absoluteString()}));

    workspace.setOpener({});
    LogCapture logs;
    EXPECT_FALSE(workspace.openURL(url));  // PATH holds no xdg-open
    EXPECT_EQ(opened.size(), 2u);
    ASSERT_EQ(logs.entries("Workspace").size(), 1u);
    EXPECT_NE(logs.entries("Workspace")[0].message.find(url.absoluteString()), std::string::npos);
}

TEST_F(NSWorkspaceTest, HandsTheURLToXdgOpenFromPath) {
    const fs::path received = root / "received";
    const fs::path script = root / "xdg-open";
    std::ofstream(script) << "#!/bin/sh\nprintf '%s' \"$1\" > '" << received.string() << ".tmp' && /bin/mv '"
                          << received.string() << ".tmp' '" << received.string() << "'\n";
    fs::permissions(script, fs::perms::owner_all);

    ASSERT_TRUE(NSWorkspace::sharedWorkspace().openURL(url));
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!fs::exists(received) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    std::ifstream in(received);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), url.absoluteString());
}

}  // namespace
}  // namespace velunto
