#pragma once

#include <QWidget>

namespace velunto {

// The thin line between two rows of a card, indented past the rows' icons.
class CardDivider : public QWidget {
public:
    explicit CardDivider(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace velunto
