#pragma once

#include <QWidget>
#include <memory>

class QLabel;
class QSlider;
class QVBoxLayout;

namespace velunto {

class MenuPanelModel;
class MiniSpectrum;
class PickerRow;
class PowerButton;
class ShortcutRecorder;
class ToggleRow;
class ToolButton;
class FooterButton;

// The panel under the menu-bar item: header with status, latency, power button and live spectrum;
// notices; the audio and camera cards; tools; settings; footer. It shows what its model says and
// refreshes whenever the model reports a change.
class MenuPanel : public QWidget {
public:
    explicit MenuPanel(std::shared_ptr<MenuPanelModel> model, QWidget* parent = nullptr);
    ~MenuPanel() override;

    // Re-reads every value from the model.
    void refresh();
    MenuPanelModel& model() { return *model_; }

protected:
    void changeEvent(QEvent* event) override;

private:
    QWidget* makeHeader();
    QWidget* makeAudioCard();
    QWidget* makeCameraCard();
    QWidget* makeTools();
    QWidget* makeSettingsCard();
    QWidget* makeFooter();
    void refreshNotices();

    std::shared_ptr<MenuPanelModel> model_;
    QLabel* status_ = nullptr;
    QLabel* latency_ = nullptr;
    QLabel* latencyUnit_ = nullptr;
    PowerButton* power_ = nullptr;
    MiniSpectrum* spectrum_ = nullptr;
    QVBoxLayout* notices_ = nullptr;
    PickerRow* input_ = nullptr;
    PickerRow* plugin_ = nullptr;
    ToggleRow* bypass_ = nullptr;
    ToggleRow* eq_ = nullptr;
    ToggleRow* monitoring_ = nullptr;
    PickerRow* monitorDevice_ = nullptr;
    QWidget* monitorDivider_ = nullptr;
    PickerRow* camera_ = nullptr;
    QSlider* offset_ = nullptr;
    QLabel* offsetValue_ = nullptr;
    QLabel* caption_ = nullptr;
    ToolButton* pluginTool_ = nullptr;
    ToolButton* latencyTool_ = nullptr;
    ToggleRow* launchAtLogin_ = nullptr;
    ShortcutRecorder* shortcut_ = nullptr;
    FooterButton* updates_ = nullptr;
    std::vector<std::string> shownNotices_;
};

}  // namespace velunto
