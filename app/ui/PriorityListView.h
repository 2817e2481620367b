#pragma once

#include <QWidget>
#include <memory>
#include <vector>

#include "app/ui/PriorityListModel.h"

class QLabel;
class QListWidget;
class QMenu;
class QPushButton;
class QStackedWidget;

namespace velunto {

// The content of the window "Prioritätenliste": the explanation, the ordered list of preferred input
// devices (reordered by dragging rows), and the bar to add a device or switch to priority mode. It
// shows what its model says and refreshes whenever the model reports a change.
class PriorityListView : public QWidget {
public:
    static constexpr int kWidth = 420;
    static constexpr int kRowHeight = 30;
    static constexpr int kVisibleRows = 8;

    explicit PriorityListView(std::shared_ptr<PriorityListModel> model, QWidget* parent = nullptr);
    ~PriorityListView() override;

    // Re-reads every value from the model.
    void refresh();
    PriorityListModel& model() { return *model_; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void changeEvent(QEvent* event) override;

private:
    QWidget* makeList();
    QWidget* makeBar();
    void rebuildRows(const std::vector<PriorityListRow>& rows);
    void rebuildAddMenu();
    QWidget* makeRow(const PriorityListRow& row, int positionWidth);
    void removeEntry(const std::string& uid);

    std::shared_ptr<PriorityListModel> model_;
    QStackedWidget* stack_ = nullptr;
    QListWidget* list_ = nullptr;
    QLabel* empty_ = nullptr;
    QPushButton* add_ = nullptr;
    QMenu* addMenu_ = nullptr;
    QPushButton* activate_ = nullptr;
    std::vector<PriorityListRow> shownRows_;
};

}  // namespace velunto
