#pragma once

#include "app/ui/SpectrumClientView.h"

namespace velunto {

// A small live picture of the voice's spectrum, as bars.
class MiniSpectrum : public SpectrumClientView {
public:
    // The analyser must outlive the view.
    MiniSpectrum(SpectrumAnalyzer& analyzer, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace velunto
