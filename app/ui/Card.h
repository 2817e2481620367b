#pragma once

#include <QFrame>

class QVBoxLayout;

namespace velunto {

// A rounded group of rows on a slightly raised background; rows are added with addRow().
class Card : public QFrame {
public:
    explicit Card(QWidget* parent = nullptr);
    void addRow(QWidget* row);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QVBoxLayout* layout_;
};

}  // namespace velunto
