#pragma once

#include <QAbstractButton>
#include <functional>

namespace velunto {

// The large start/pause button: a filled circle in the accent colour with the power symbol while the
// pipeline runs, an outlined one while it is paused.
class PowerButton : public QAbstractButton {
public:
    PowerButton(std::function<void()> action, QWidget* parent = nullptr);
    void setOn(bool on, const QString& label);
    bool isOn() const { return on_; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool on_ = false;
};

}  // namespace velunto
