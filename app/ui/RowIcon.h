#pragma once

#include <QWidget>
#include <string>

namespace velunto {

// The fixed-width icon at the start of a row.
class RowIcon : public QWidget {
public:
    explicit RowIcon(std::string name, QWidget* parent = nullptr);
    void setName(std::string name);
    const std::string& name() const { return name_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::string name_;
};

}  // namespace velunto
