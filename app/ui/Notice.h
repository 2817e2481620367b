#pragma once

#include <QAbstractButton>
#include <functional>
#include <string>

namespace velunto {

// A warning line: an icon and wrapped text on a tinted background. With an action it is a button.
class Notice : public QAbstractButton {
public:
    Notice(std::string icon, const std::string& text, std::function<void()> action, QWidget* parent = nullptr);
    QSize sizeHint() const override;
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QRectF textRect(int width) const;
    std::string icon_;
};

}  // namespace velunto
