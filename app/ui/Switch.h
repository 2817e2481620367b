#pragma once

#include <QAbstractButton>

namespace velunto {

// An on/off switch: a rounded track with a sliding knob, checkable, operated by click or Space.
class Switch : public QAbstractButton {
public:
    explicit Switch(QWidget* parent = nullptr);
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace velunto
