#pragma once

#include <QWidget>
#include <functional>
#include <string>
#include <vector>

#include "app/ui/MenuPanelModel.h"

class QLabel;
class QMenu;

namespace velunto {

class RowIcon;

// A row with an icon, a title and the current value; clicking it opens a menu of the options, built
// when it opens so that it never shows a stale list.
class PickerRow : public QWidget {
public:
    using Options = std::function<std::vector<PanelMenuItem>()>;
    PickerRow(std::string icon, const std::string& title, Options options, QWidget* parent = nullptr);
    void setValue(const std::string& value);
    QString value() const;
    // The menu as it would open now (the caller owns it).
    QMenu* makeMenu(QWidget* parent) const;
    void openMenu();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void elideValue();

    Options options_;
    QString value_;
    QLabel* title_;
    QLabel* valueLabel_;
    RowIcon* chevron_;
};

}  // namespace velunto
