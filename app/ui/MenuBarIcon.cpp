#include "app/ui/MenuBarIcon.h"

#include <QSystemTrayIcon>

#include "app/audio/AppState.h"

namespace velunto {

const char* MenuBarIcon::imageName(const EngineStatus& overall) {
    switch (overall.kind()) {
        case EngineStatus::Kind::stopped:
            return kPaused;
        case EngineStatus::Kind::error:
            return kError;
        case EngineStatus::Kind::starting:
        case EngineStatus::Kind::running:
            break;
    }
    return kRunning;
}

QIcon MenuBarIcon::image(const std::string& name) {
    const QString path = QStringLiteral(":/icons/") + QString::fromStdString(name) + QStringLiteral(".png");
    QIcon icon(path);
    if (icon.availableSizes().isEmpty())
        return {};
    // Monochrome: the desktop may recolour it like any template image.
    icon.setIsMask(true);
    return icon;
}

MenuBarIcon::MenuBarIcon(AppState& state, QSystemTrayIcon& tray) : state_(state), tray_(tray) {
    const auto refresh = [this](const auto&) { update(); };
    state_.captureStatus.sink(DispatchQueue::main(), refresh).store(subscriptions_);
    state_.outputStatus.sink(DispatchQueue::main(), refresh).store(subscriptions_);
    state_.isRunning.sink(DispatchQueue::main(), refresh).store(subscriptions_);
    update();
}

void MenuBarIcon::update() {
    const std::string name = imageName(state_.overallStatus());
    if (name == current_)
        return;
    current_ = name;
    tray_.setIcon(image(name));
}

}  // namespace velunto
