// A plug-in's own editor in the plug-in window, on a private X server.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QScreen>
#include <QTest>

#include <chrono>
#include <memory>
#include <set>

#include "app/ui/PluginEditorView.h"
#include "platform/avaudio/AVAudioUnit.h"
#include "platform/lv2/LV2PluginCatalog.h"
#include "tests/support/XvfbServer.h"

using namespace velunto;

namespace {

constexpr const char* kLimiter = "http://gareus.org/oss/lv2/dpl#mono";  // x42-plugins, with an X11 editor

class PluginEditorViewTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const auto xvfb = XvfbServer::find();
        if (!xvfb)
            return;
        server = std::make_unique<XvfbServer>(*xvfb, "1024x768x24");
        if (!server->running())
            return;
        setenv("DISPLAY", server->display().c_str(), 1);
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        static int argc = 1;
        static char name[] = "velunto_plugin_editor_tests";
        static char* argv[] = {name, nullptr};
        application = std::make_unique<QApplication>(argc, argv);
        LV2PluginCatalog::registerInstalledPlugins();
    }
    static void TearDownTestSuite() {
        application.reset();
        server.reset();
    }

    void SetUp() override {
        if (!server || !server->running())
            GTEST_SKIP() << "Xvfb is needed for embedded plug-in editors";
        const auto* limiter = LV2PluginCatalog::shared().find(kLimiter);
        if (limiter == nullptr)
            GTEST_SKIP() << "x42-plugins is not installed";
        unit = AVAudioUnit::make(limiter->component);
        ASSERT_TRUE(unit);
    }

    // Distinct colours in the widget's part of the screen: an editor that drew shows more than a few.
    // The picture is kept for a look.
    static std::size_t colours(QWidget& widget) {
        const QImage image = widget.screen()->grabWindow(widget.winId()).toImage();
        image.save(QString::fromStdString(::testing::TempDir() + "velunto-plugin-editor.png"));
        std::set<QRgb> seen;
        for (int y = 0; y < image.height(); y += 2)
            for (int x = 0; x < image.width(); x += 2)
                seen.insert(image.pixel(x, y));
        return seen.size();
    }

    static inline std::unique_ptr<XvfbServer> server;
    static inline std::unique_ptr<QApplication> application;
    std::shared_ptr<AVAudioUnit> unit;
};

}  // namespace

TEST_F(PluginEditorViewTest, TheLimitersOwnEditorDrawsInsideTheWindow) {
    ASSERT_TRUE(unit->unit().hasCustomView());
    QWidget window;
    window.resize(480, 320);
    PluginEditorView* editor = PluginEditorView::make(unit, &window);
    ASSERT_NE(editor, nullptr) << "suil embeds the X11 editor";
    EXPECT_GT(editor->sizeHint().width(), 0);
    editor->resize(editor->sizeHint());
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QTest::qWait(1500);  // the editor's idle calls draw it
    EXPECT_GT(colours(*editor), 8u);
    delete editor;  // before the unit it edits; the unit stays usable
    EXPECT_TRUE(unit->unit().hasCustomView());
}
