#include "app/ui/HostingWindowController.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QVBoxLayout>
#include <QWidget>

#include "platform/appkit/NSApplication.h"

namespace velunto {

class HostingWindowController::Window : public QWidget {
public:
    explicit Window(HostingWindowController& owner)
        : QWidget(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint),
          owner_(owner) {}

protected:
    void closeEvent(QCloseEvent* event) override {
        if (owner_.onClose)
            owner_.onClose();
        QWidget::closeEvent(event);
    }

private:
    HostingWindowController& owner_;
};

HostingWindowController::HostingWindowController(std::unique_ptr<QWidget> rootView, const std::string& title)
    : window_(std::make_unique<Window>(*this)) {
    window_->setAttribute(Qt::WA_DeleteOnClose, false);
    window_->setWindowTitle(QString::fromStdString(title));
    auto* layout = new QVBoxLayout(window_.get());
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(rootView.release());
    layout->setSizeConstraint(QLayout::SetFixedSize);
    window_->adjustSize();
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = window_->frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        window_->move(frame.topLeft());
    }
}

HostingWindowController::~HostingWindowController() = default;

QWidget& HostingWindowController::window() {
    return *window_;
}

bool HostingWindowController::isWindowVisible() const {
    return window_->isVisible();
}

void HostingWindowController::close() {
    window_->close();
}

void HostingWindowController::showWindow() {
    window_->show();
    window_->raise();
    window_->activateWindow();
    NSApplication::shared().activateIgnoringOtherApps();
}

}  // namespace velunto
