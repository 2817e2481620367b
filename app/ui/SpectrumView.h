#pragma once

#include "app/ui/SpectrumClientView.h"

namespace velunto {

class EQCurveModel;

// The bottom layer of the EQ window's curve area: a rounded plate with the live input spectrum filled
// in the secondary colour.
class SpectrumView : public SpectrumClientView {
public:
    static constexpr double kFillOpacity = 0.2;
    static constexpr int kCornerRadius = 8;

    // The model and the analyser must outlive the view.
    SpectrumView(EQCurveModel& model, SpectrumAnalyzer& analyzer, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    EQCurveModel& model_;
};

}  // namespace velunto
