#include "app/ui/MiniSpectrum.h"

#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>

#include "app/processing/SpectrumAnalyzer.h"
#include "app/ui/PanelStyle.h"

namespace velunto {

namespace {

constexpr int kBars = 32;
constexpr float kFloorDB = -90.0f;

}  // namespace

MiniSpectrum::MiniSpectrum(SpectrumAnalyzer& analyzer, QWidget* parent) : SpectrumClientView(analyzer, parent) {
    setMinimumHeight(28);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void MiniSpectrum::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const auto& levels = analyzer().levels.value();
    const std::size_t perBar = std::max<std::size_t>(1, levels.size() / kBars);
    const qreal slot = static_cast<qreal>(width()) / kBars;
    QColor color = PanelStyle::accent(palette());
    for (int bar = 0; bar < kBars; ++bar) {
        float loudest = kFloorDB;
        for (std::size_t i = static_cast<std::size_t>(bar) * perBar;
             i < std::min(levels.size(), static_cast<std::size_t>(bar + 1) * perBar); ++i)
            if (std::isfinite(levels[i]))
                loudest = std::max(loudest, levels[i]);
        const qreal share = std::clamp((loudest - kFloorDB) / -kFloorDB, 0.0f, 1.0f);
        const qreal barHeight = std::max<qreal>(2, share * height());
        color.setAlphaF(0.35f + 0.65f * static_cast<float>(share));
        painter.fillRect(QRectF(bar * slot + 1, height() - barHeight, std::max<qreal>(1, slot - 2), barHeight), color);
    }
}

}  // namespace velunto
