#pragma once

#include <QWidget>
#include <memory>
#include <vector>

#include "app/ui/LatencyMeterModel.h"

class QGridLayout;
class QLabel;
class QPushButton;

namespace velunto {

class StatusLineView;

// The content of the window "Latenz messen": the loaded plug-in's reported, measured and used
// latency, the block sizes, the meter's progress, and the buttons to measure again or discard the
// measurement. Return starts a measurement. It shows what its model says and refreshes whenever the
// model reports a change.
class LatencyMeterView : public QWidget {
public:
    static constexpr int kWidth = 420;

    explicit LatencyMeterView(std::shared_ptr<LatencyMeterModel> model, QWidget* parent = nullptr);
    ~LatencyMeterView() override;

    // Re-reads every value from the model.
    void refresh();
    LatencyMeterModel& model() { return *model_; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    QWidget* makeGrid();
    QWidget* makeButtons();
    void refreshGrid();

    std::shared_ptr<LatencyMeterModel> model_;
    QLabel* title_ = nullptr;
    QGridLayout* grid_ = nullptr;
    std::vector<QLabel*> labels_;
    std::vector<QLabel*> values_;
    StatusLineView* status_ = nullptr;
    StatusLineView* warning_ = nullptr;
    QPushButton* start_ = nullptr;
    QPushButton* discard_ = nullptr;
};

}  // namespace velunto
