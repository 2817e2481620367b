#pragma once

#include <QTimer>
#include <QWidget>
#include <optional>

#include "app/ui/LatencyMeterModel.h"

class QLabel;

namespace velunto {

// A line of text, wrapped, after a symbol image or a small busy indicator, both in the line's colour
// role. Hidden while there is no line.
class StatusLineView : public QWidget {
public:
    explicit StatusLineView(QWidget* parent = nullptr);

    void setLine(const std::optional<LatencyStatusLine>& line);
    const std::optional<LatencyStatusLine>& line() const { return line_; }
    QLabel& label() { return *text_; }
    bool isSpinning() const { return spinner_.isActive(); }

    // The colour of a role in `palette`.
    static QColor color(TextColorRole role, const QPalette& palette);

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QRectF markBox() const;
    void paintSpinner(QPainter& painter, const QRectF& box, const QColor& color) const;
    void updateSpinner();

    std::optional<LatencyStatusLine> line_;
    QLabel* text_;
    QTimer spinner_;
    int phase_ = 0;
};

}  // namespace velunto
