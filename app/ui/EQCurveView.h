#pragma once

#include <QPixmap>
#include <optional>

#include "app/processing/EQSettings.h"

#include <QWidget>

class QPainter;

namespace velunto {

class EQCurveModel;

// The top layer of the EQ window's curve area: the grid with its labels, the response curve and one
// numbered handle per band. A press, the moves and the release of the left button are one drag of the
// model, which picks up the nearest enabled band and moves it. Transparent, so the spectrum shows
// through.
class EQCurveView : public QWidget {
public:
    static constexpr double kCurveWidth = 2;
    static constexpr int kCaptionPointSize = 7;
    static constexpr int kHandlePointSize = 9;
    static constexpr int kCornerRadius = 8;

    // The model must outlive the view.
    explicit EQCurveView(EQCurveModel& model, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void paintGrid(QPainter& painter) const;
    void paintCurve(QPainter& painter) const;
    void paintHandles(QPainter& painter) const;
    bool isOverEnabledHandle(QPointF point) const;

    EQCurveModel& model_;
    bool dragging_ = false;
    // Grid, curve and handles change only with the settings, not with the spectrum beneath them,
    // which is redrawn 30 times a second: they are painted once into this layer and then copied.
    QPixmap layer_;
    std::optional<EQSettings> layerSettings_;
    qint64 layerPalette_ = 0;
};

}  // namespace velunto
