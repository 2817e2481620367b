#pragma once

#include <QWidget>
#include <memory>
#include <vector>

class QLabel;
class QPushButton;
class QVBoxLayout;

namespace velunto {

class AppState;
class Card;
class EQBandRowView;
class EQCurveModel;
class EQCurveView;
class EQEditorModel;
class SpectrumView;
class Switch;

// The content of the EQ window, 720 points wide: the header with the "EQ aktiv" switch, the device and
// "Zurücksetzen"; the curve area (the spectrum under the response curve); the column titles; one row
// per band. It owns its two models and refreshes whenever they report a change.
class EQView : public QWidget {
public:
    static constexpr int kSectionSpacing = 12;

    // The state must outlive the view.
    explicit EQView(AppState& state, QWidget* parent = nullptr);
    ~EQView() override;

    // Re-reads every value from the models.
    void refresh();

    EQEditorModel& editorModel() { return *editor_; }
    EQCurveModel& curveModel() { return *curve_; }
    Switch& enabledSwitch() { return *enabled_; }
    QLabel& deviceLabel() { return *device_; }
    QPushButton& resetButton() { return *reset_; }
    EQCurveView& curveView() { return *curveView_; }
    SpectrumView& spectrumView() { return *spectrumView_; }
    const std::vector<EQBandRowView*>& rows() const { return rows_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    QWidget* makeHeader();
    QWidget* makeCurveArea(AppState& state);
    QWidget* makeColumnTitles();
    void matchRowCount(std::size_t count);
    void showDeviceText();

    std::unique_ptr<EQEditorModel> editor_;
    std::unique_ptr<EQCurveModel> curve_;
    Switch* enabled_ = nullptr;
    QLabel* device_ = nullptr;
    QPushButton* reset_ = nullptr;
    EQCurveView* curveView_ = nullptr;
    SpectrumView* spectrumView_ = nullptr;
    Card* table_ = nullptr;
    std::vector<EQBandRowView*> rows_;
    std::vector<QWidget*> dividers_;
};

}  // namespace velunto
