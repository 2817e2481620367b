#include "app/ui/SpectrumClientView.h"

#include "app/processing/SpectrumAnalyzer.h"
#include "platform/dispatch/DispatchQueue.h"

namespace velunto {

SpectrumClientView::SpectrumClientView(SpectrumAnalyzer& analyzer, QWidget* parent)
    : QWidget(parent), analyzer_(analyzer) {
    subscription_ = analyzer_.levels.sink(DispatchQueue::main(), [this](const SpectrumAnalyzer::Levels&) { update(); },
                                          {.initial = false});
}

SpectrumClientView::~SpectrumClientView() {
    subscription_.cancel();
    setActive(false);
}

void SpectrumClientView::setActive(bool active) {
    if (active == active_)
        return;
    active_ = active;
    if (active)
        analyzer_.addClient();
    else
        analyzer_.removeClient();
}

void SpectrumClientView::showEvent(QShowEvent*) {
    setActive(true);
}

void SpectrumClientView::hideEvent(QHideEvent*) {
    setActive(false);
}

}  // namespace velunto
