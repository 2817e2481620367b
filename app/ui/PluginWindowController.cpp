#include "app/ui/PluginWindowController.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QVBoxLayout>
#include <QWidget>

#include "app/processing/PluginHost.h"
#include "app/ui/NoPluginUIHint.h"
#include "app/ui/PluginEditorView.h"
#include "platform/appkit/NSApplication.h"

namespace velunto {

class PluginWindowController::Window : public QWidget {
public:
    explicit Window(PluginHost& host) : QWidget(nullptr, Qt::Window), host_(host) {
        setAttribute(Qt::WA_DeleteOnClose, false);
        auto* layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        resize(480, 320);
    }

    void setContent(QWidget* content) {
        auto* layout = static_cast<QVBoxLayout*>(this->layout());
        while (QLayoutItem* item = layout->takeAt(0)) {
            delete item->widget();
            delete item;
        }
        layout->addWidget(content);
    }

protected:
    void closeEvent(QCloseEvent* event) override {
        host_.saveState();
        QWidget::closeEvent(event);
    }

private:
    PluginHost& host_;
};

PluginWindowController::PluginWindowController(PluginHost& pluginHost)
    : pluginHost_(pluginHost), window_(std::make_unique<Window>(pluginHost)) {
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = window_->frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        window_->move(frame.topLeft());
    }
}

PluginWindowController::~PluginWindowController() = default;

QWidget& PluginWindowController::window() {
    return *window_;
}

void PluginWindowController::showPluginUI(const std::shared_ptr<AVAudioUnit>& unit) {
    if (!unit)
        return;
    const auto& selected = pluginHost_.selectedPlugin.value();
    window_->setWindowTitle(QString::fromStdString(selected ? selected->name : "Plugin"));
    if (PluginEditorView* editor = PluginEditorView::make(unit, window_.get())) {
        window_->setContent(editor);
        const QSize wanted = editor->sizeHint();
        if (wanted.isValid())
            window_->resize(wanted.expandedTo(QSize(480, 320)));
    } else {
        window_->setContent(new NoPluginUIHint(window_.get()));
    }
    window_->show();
    window_->raise();
    window_->activateWindow();
    NSApplication::shared().activateIgnoringOtherApps();
}

}  // namespace velunto
