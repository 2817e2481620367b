#pragma once

#include <QWidget>

#include "platform/combine/AnyCancellable.h"

namespace velunto {

class SpectrumAnalyzer;

// A small live picture of the voice's spectrum. While it is on screen it is a client of the analyser,
// which runs only while somebody looks.
class MiniSpectrum : public QWidget {
public:
    // The analyser must outlive the view.
    MiniSpectrum(SpectrumAnalyzer& analyzer, QWidget* parent = nullptr);
    ~MiniSpectrum() override;
    bool isActive() const { return active_; }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void setActive(bool active);

    SpectrumAnalyzer& analyzer_;
    AnyCancellable subscription_;
    bool active_ = false;
};

}  // namespace velunto
