#include "app/ui/VeluntoApp.h"

#include <QSystemTrayIcon>
#include <QVBoxLayout>
#include <QWidget>
#include <filesystem>

#include "app/audio/AppState.h"
#include "app/ui/AppDelegate.h"
#include "app/ui/EQView.h"
#include "app/ui/HostingWindowController.h"
#include "app/ui/LatencyMeterModel.h"
#include "app/ui/LatencyMeterView.h"
#include "app/ui/LaunchAtLogin.h"
#include "app/ui/MenuBarIcon.h"
#include "app/ui/MenuPanel.h"
#include "app/ui/MenuPanelModel.h"
#include "app/ui/PluginWindowController.h"
#include "app/ui/PriorityListModel.h"
#include "app/ui/PriorityListView.h"
#include "app/ui/Updater.h"
#include "platform/appkit/NSApplication.h"
#include "platform/foundation/NSBundle.h"
#include "platform/systemextensions/OSSystemExtensionManager.h"

namespace velunto {

namespace {

// The camera extension ships beside the application's program (or, in the build tree, in its own folder).
std::string cameraExtensionProgram() {
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
    for (const auto& candidate : {self.parent_path() / "velunto-camera-extension",
                                  self.parent_path() / "../../camera-extension/velunto-camera-extension",
                                  self.parent_path() / "../camera-extension/velunto-camera-extension"})
        if (std::filesystem::exists(candidate))
            return std::filesystem::weakly_canonical(candidate).string();
    return (self.parent_path() / "velunto-camera-extension").string();
}

}  // namespace

VeluntoApp::VeluntoApp(int argc, char** argv) : appDelegate_(std::make_shared<AppDelegate>()) {
    NSApplication::shared(argc, argv).setDelegate(appDelegate_);
    OSSystemExtensionManager::sharedManager().setExtensionLocation(
        CameraExtensionActivator::kExtensionIdentifier, cameraExtensionProgram(),
        NSBundle::mainBundle().stringForInfoDictionaryKey("CFBundleVersion").value_or("0"));
}

VeluntoApp::~VeluntoApp() = default;

const std::shared_ptr<AppState>& VeluntoApp::appState() {
    if (!appState_) {
        appState_ = AppState::make();
        appState_->makeWindowController = [state = appState_.get()](AppState::AuxiliaryWindow window,
                                                                    const std::string& title) {
            return std::make_shared<HostingWindowController>(makeWindowContent(*state, window), title);
        };
    }
    return appState_;
}

std::unique_ptr<QWidget> VeluntoApp::makeWindowContent(AppState& state, AppState::AuxiliaryWindow window) {
    switch (window) {
        case AppState::AuxiliaryWindow::eq:
            return std::make_unique<EQView>(state);
        case AppState::AuxiliaryWindow::priorityList:
            return std::make_unique<PriorityListView>(std::make_shared<PriorityListModel>(state.deviceManager()));
        case AppState::AuxiliaryWindow::latencyMeter:
            break;
    }
    return std::make_unique<LatencyMeterView>(std::make_shared<LatencyMeterModel>(state));
}

const std::shared_ptr<Updater>& VeluntoApp::updater() {
    if (!updater_)
        updater_ = Updater::make();
    return updater_;
}

int VeluntoApp::run() {
    showMenuBarItem();
    return NSApplication::shared().run();
}

void VeluntoApp::showMenuBarItem() {
    updater();
    tray_ = std::make_unique<QSystemTrayIcon>();
    icon_ = std::make_unique<MenuBarIcon>(*appState(), *tray_);
    tray_->setToolTip(QStringLiteral("Velunto"));
    QObject::connect(tray_.get(), &QSystemTrayIcon::activated, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::Context)
            togglePanel();
    });
    tray_->show();
    appDelegate_->appState = appState();
}

QWidget& VeluntoApp::panel() {
    if (!panel_) {
        if (!launchAtLogin_)
            launchAtLogin_ = std::make_shared<LaunchAtLogin>();
        auto model = std::make_shared<MenuPanelModel>(appState(), updater(), launchAtLogin_);
        model->openPluginWindow = [this] { openPluginWindow(); };
        panel_ = std::make_unique<QWidget>(nullptr, Qt::Popup | Qt::FramelessWindowHint);
        auto* layout = new QVBoxLayout(panel_.get());
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(new MenuPanel(std::move(model), panel_.get()));
    }
    return *panel_;
}

void VeluntoApp::openPluginWindow() {
    const auto unit = appState()->pluginHost().loadedUnit.value();
    if (!unit)
        return;
    if (!pluginWindow_)
        pluginWindow_ = std::make_unique<PluginWindowController>(appState()->pluginHost());
    pluginWindow_->showPluginUI(unit);
}

void VeluntoApp::togglePanel() {
    panel();
    if (panel_->isVisible()) {
        panel_->hide();
        return;
    }
    panel_->adjustSize();
    // Under the menu-bar item, as a drop-down.
    const QRect item = tray_->geometry();
    panel_->move(item.isValid() ? QPoint(item.center().x() - panel_->width() / 2, item.bottom()) : QPoint(0, 0));
    panel_->show();
}

}  // namespace velunto
