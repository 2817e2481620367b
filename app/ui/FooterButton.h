#pragma once

#include <QToolButton>
#include <functional>
#include <string>

namespace velunto {

// A quiet text button with a small icon, for the panel's footer.
class FooterButton : public QToolButton {
public:
    FooterButton(std::string icon, const std::string& title, std::function<void()> action, QWidget* parent = nullptr);

protected:
    void changeEvent(QEvent* event) override;

private:
    void updateIcon();
    std::string icon_;
};

}  // namespace velunto
