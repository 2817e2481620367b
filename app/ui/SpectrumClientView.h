#pragma once

#include <QWidget>

#include "platform/combine/AnyCancellable.h"

namespace velunto {

class SpectrumAnalyzer;

// A view of the live spectrum. While it is on screen it is a client of the analyser, which runs only
// while somebody looks, and it repaints whenever the analyser publishes new levels.
class SpectrumClientView : public QWidget {
public:
    // The analyser must outlive the view.
    explicit SpectrumClientView(SpectrumAnalyzer& analyzer, QWidget* parent = nullptr);
    ~SpectrumClientView() override;
    bool isActive() const { return active_; }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    SpectrumAnalyzer& analyzer() const { return analyzer_; }

private:
    void setActive(bool active);

    SpectrumAnalyzer& analyzer_;
    AnyCancellable subscription_;
    bool active_ = false;
};

}  // namespace velunto
