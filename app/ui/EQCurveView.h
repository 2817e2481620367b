#pragma once

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
};

}  // namespace velunto
