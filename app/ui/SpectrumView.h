#pragma once

#include <QWidget>

#include "platform/combine/AnyCancellable.h"

namespace velunto {

class EQCurveModel;
class SpectrumAnalyzer;

// The bottom layer of the EQ window's curve area: a rounded plate with the live input spectrum filled
// in the secondary colour. While it is on screen it is a client of the analyser, which runs only while
// somebody looks; it repaints whenever the analyser publishes new levels.
class SpectrumView : public QWidget {
public:
    static constexpr double kFillOpacity = 0.2;
    static constexpr int kCornerRadius = 8;

    // The model and the analyser must outlive the view.
    SpectrumView(EQCurveModel& model, SpectrumAnalyzer& analyzer, QWidget* parent = nullptr);
    ~SpectrumView() override;
    bool isActive() const { return active_; }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void setActive(bool active);

    EQCurveModel& model_;
    SpectrumAnalyzer& analyzer_;
    AnyCancellable subscription_;
    bool active_ = false;
};

}  // namespace velunto
