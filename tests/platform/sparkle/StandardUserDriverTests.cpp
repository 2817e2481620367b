#include "platform/appkit/NSWorkspace.h"
#include "platform/sparkle/SPUStandardUserDriver.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

#include <cstdlib>
#include <vector>

namespace velunto {
namespace {

class StandardUserDriverTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
        static int argc = 1;
        static char name[] = "velunto_sparkle_tests";
        static char* argv[] = {name, nullptr};
        if (QApplication::instance() == nullptr)
            new QApplication(argc, argv);  // lives for the rest of the process
    }
    void SetUp() override {
        NSWorkspace::sharedWorkspace().setOpener([this](const NSURL& url) {
            opened.push_back(url.absoluteString());
            return true;
        });
    }
    void TearDown() override { NSWorkspace::sharedWorkspace().setOpener({}); }

    static QPushButton* button(QMessageBox& box, const char* text) {
        for (QAbstractButton* candidate : box.buttons()) {
            if (candidate->text() == QString::fromUtf8(text))
                return qobject_cast<QPushButton*>(candidate);
        }
        return nullptr;
    }

    static SPUUpdateFound update(std::optional<std::string> notes) {
        SUAppcastItem item;
        item.versionString = "130";
        item.displayVersionString = "1.3";
        item.fileURL = "https://example.org/Velunto-1.3.zip";
        item.releaseNotesURL = std::move(notes);
        return {item, "1.2", "Eine neue Version von Velunto ist verfügbar.", "Velunto 1.3 ist verfügbar."};
    }

    std::vector<std::string> opened;
};

TEST_F(StandardUserDriverTest, UpdateWindowOffersDownloadAndReleaseNotes) {
    SPUStandardUserDriver driver;
    driver.showUpdateFound(update("https://example.org/notes"), {});
    QMessageBox* box = driver.window();
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(box->isVisible());
    EXPECT_EQ(box->windowTitle(), QString::fromUtf8("Softwareaktualisierung"));
    EXPECT_EQ(box->text(), QString::fromUtf8("Eine neue Version von Velunto ist verfügbar."));
    EXPECT_EQ(box->informativeText(), QString::fromUtf8("Velunto 1.3 ist verfügbar."));
    ASSERT_NE(button(*box, "Später"), nullptr);
    QPushButton* notes = button(*box, "Versionshinweise");
    ASSERT_NE(notes, nullptr);
    notes->click();
    QPushButton* download = button(*box, "Herunterladen");
    ASSERT_NE(download, nullptr);
    download->click();
    EXPECT_EQ(opened, (std::vector<std::string>{"https://example.org/notes", "https://example.org/Velunto-1.3.zip"}));
    QCoreApplication::processEvents();
}

TEST_F(StandardUserDriverTest, LaterNewOutcomeReplacesTheWindow) {
    SPUStandardUserDriver driver;
    driver.showUpdateFound(update(std::nullopt), {});
    QPointer<QMessageBox> first = driver.window();
    ASSERT_FALSE(first.isNull());
    EXPECT_EQ(button(*first, "Versionshinweise"), nullptr);

    driver.showUpdaterError({"SUSparkleErrorDomain", 1002, "Der Update-Server ist nicht erreichbar."});
    EXPECT_TRUE(first.isNull());
    ASSERT_NE(driver.window(), nullptr);
    EXPECT_EQ(driver.window()->informativeText(), QString::fromUtf8("Der Update-Server ist nicht erreichbar."));

    driver.showUpdateNotFound({"1.2", "Velunto ist auf dem neuesten Stand.", "Version 1.2 ist die neueste."});
    EXPECT_EQ(driver.window()->text(), QString::fromUtf8("Velunto ist auf dem neuesten Stand."));
    EXPECT_EQ(driver.window()->buttons().size(), 1);
    EXPECT_TRUE(opened.empty());
}

}  // namespace
}  // namespace velunto
