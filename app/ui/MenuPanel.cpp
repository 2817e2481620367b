#include "app/ui/MenuPanel.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QSlider>
#include <QVBoxLayout>

#include "app/audio/AppState.h"
#include "app/ui/Card.h"
#include "app/ui/CardDivider.h"
#include "app/ui/FooterButton.h"
#include "app/ui/MenuPanelModel.h"
#include "app/ui/MiniSpectrum.h"
#include "app/ui/Notice.h"
#include "app/ui/PanelStyle.h"
#include "app/ui/PickerRow.h"
#include "app/ui/PowerButton.h"
#include "app/ui/RowIcon.h"
#include "app/ui/ShortcutRecorder.h"
#include "app/ui/SymbolImage.h"
#include "app/ui/ToggleRow.h"
#include "app/ui/ToolButton.h"

namespace velunto {

namespace {

QLabel* label(const QString& text, const QFont& font, QWidget* parent, bool secondary = false) {
    auto* label = new QLabel(text, parent);
    label->setFont(font);
    label->setTextFormat(Qt::PlainText);
    if (secondary)
        PanelStyle::markSecondary(*label);
    return label;
}

// The application's logo, drawn for the screen's pixel ratio.
class Logo : public QWidget {
public:
    explicit Logo(QWidget* parent) : QWidget(parent) { setFixedSize(30, 30); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        SymbolImage::paint(painter, "Logo", QRectF(rect()), PanelStyle::accent(palette()));
    }
};

QLabel* sectionTitle(const QString& text, QWidget* parent) {
    QLabel* title = label(text, PanelStyle::font(8, QFont::DemiBold), parent, true);
    title->setContentsMargins(4, 0, 0, 0);
    return title;
}

}  // namespace

MenuPanel::MenuPanel(std::shared_ptr<MenuPanelModel> model, QWidget* parent)
    : QWidget(parent), model_(std::move(model)) {
    setFixedWidth(PanelStyle::kPanelWidth);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(PanelStyle::kMargin, PanelStyle::kMargin, PanelStyle::kMargin, 8);
    layout->setSpacing(10);
    layout->addWidget(makeHeader());
    notices_ = new QVBoxLayout;
    notices_->setSpacing(6);
    layout->addLayout(notices_);
    layout->addWidget(sectionTitle(QStringLiteral("AUDIO"), this));
    layout->addWidget(makeAudioCard());
    layout->addWidget(sectionTitle(QStringLiteral("KAMERA"), this));
    layout->addWidget(makeCameraCard());
    layout->addWidget(makeTools());
    layout->addWidget(makeSettingsCard());
    layout->addWidget(makeFooter());
    model_->onChange = [this] { refresh(); };
    refresh();
}

MenuPanel::~MenuPanel() {
    model_->onChange = nullptr;
}

void MenuPanel::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() != QEvent::PaletteChange)
        return;
    PanelStyle::refreshSecondary(*this);
}

QWidget* MenuPanel::makeHeader() {
    auto* header = new QWidget(this);
    auto* column = new QVBoxLayout(header);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(8);

    auto* top = new QHBoxLayout;
    top->setSpacing(10);
    top->addWidget(new Logo(header), 0, Qt::AlignTop);
    auto* titles = new QVBoxLayout;
    titles->setSpacing(1);
    titles->addWidget(label(QStringLiteral("Velunto"), PanelStyle::font(13, QFont::DemiBold), header));
    status_ = label({}, PanelStyle::font(9), header, true);
    status_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    titles->addWidget(status_);
    auto* latencyLine = new QHBoxLayout;
    latencyLine->setSpacing(4);
    latency_ = label({}, PanelStyle::monospacedDigitFont(11, QFont::DemiBold), header);
    latencyUnit_ = label(QString::fromStdString(MenuPanelModel::latencyUnit()), PanelStyle::font(9), header, true);
    latencyLine->addWidget(latency_);
    latencyLine->addWidget(latencyUnit_);
    latencyLine->addStretch(1);
    titles->addLayout(latencyLine);
    top->addLayout(titles, 1);
    power_ = new PowerButton([this] { model_->togglePower(); }, header);
    top->addWidget(power_, 0, Qt::AlignTop);
    column->addLayout(top);

    spectrum_ = new MiniSpectrum(model_->appState().spectrumAnalyzer(), header);
    column->addWidget(spectrum_);
    return header;
}

QWidget* MenuPanel::makeAudioCard() {
    auto* card = new Card(this);
    input_ = new PickerRow(
        "mic.fill", "Eingang", [this] { return model_->inputMenu(); }, card);
    plugin_ = new PickerRow(
        "sparkles", "Plugin", [this] { return model_->pluginMenu(); }, card);
    bypass_ = new ToggleRow(
        "power.circle", "Bypass", [this](bool on) { model_->setBypassed(on); }, card);
    eq_ = new ToggleRow(
        "slider.vertical.3", "EQ", [this](bool on) { model_->setEQOn(on); }, card);
    monitoring_ = new ToggleRow(
        "headphones", "Vorhören", [this](bool on) { model_->setMonitoring(on); }, card);
    monitorDevice_ = new PickerRow(
        "speaker.wave.2", "Vorhören über", [this] { return model_->monitorDeviceMenu(); }, card);
    monitorDivider_ = new CardDivider(card);
    card->addRow(input_);
    card->addRow(new CardDivider(card));
    card->addRow(plugin_);
    card->addRow(new CardDivider(card));
    card->addRow(bypass_);
    card->addRow(new CardDivider(card));
    card->addRow(eq_);
    card->addRow(new CardDivider(card));
    card->addRow(monitoring_);
    card->addRow(monitorDivider_);
    card->addRow(monitorDevice_);
    return card;
}

QWidget* MenuPanel::makeCameraCard() {
    auto* card = new Card(this);
    camera_ = new PickerRow(
        "video.fill", "Kamera", [this] { return model_->cameraMenu(); }, card);
    card->addRow(camera_);
    card->addRow(new CardDivider(card));

    auto* offsetRow = new QWidget(card);
    auto* rows = new QVBoxLayout(offsetRow);
    rows->setContentsMargins(PanelStyle::kRowPadding, 6, PanelStyle::kRowPadding, 8);
    rows->setSpacing(4);
    auto* line = new QHBoxLayout;
    line->setSpacing(8);
    line->addWidget(new RowIcon("timer", offsetRow));
    line->addWidget(label(QStringLiteral("Ausgleich"), PanelStyle::font(10), offsetRow));
    offset_ = new QSlider(Qt::Horizontal, offsetRow);
    offset_->setRange(static_cast<int>(MenuPanelModel::kMinimumOffsetMilliseconds),
                      static_cast<int>(MenuPanelModel::kMaximumOffsetMilliseconds));
    offset_->setSingleStep(static_cast<int>(MenuPanelModel::kOffsetStepMilliseconds));
    offset_->setPageStep(static_cast<int>(MenuPanelModel::kOffsetStepMilliseconds) * 5);
    offset_->setAccessibleName(QStringLiteral("Ausgleich"));
    line->addWidget(offset_, 1);
    offsetValue_ = label({}, PanelStyle::monospacedDigitFont(9), offsetRow, true);
    offsetValue_->setMinimumWidth(offsetValue_->fontMetrics().horizontalAdvance(QStringLiteral("−500 ms")));
    offsetValue_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    line->addWidget(offsetValue_);
    rows->addLayout(line);
    caption_ = label({}, PanelStyle::font(8), offsetRow, true);
    caption_->setContentsMargins(PanelStyle::kRowTextInset - PanelStyle::kRowPadding, 0, 0, 0);
    rows->addWidget(caption_);
    QObject::connect(offset_, &QSlider::valueChanged, [this](int value) {
        model_->setVideoOffsetMilliseconds(value);
        offsetValue_->setText(QString::number(model_->videoOffsetMilliseconds()) + QStringLiteral(" ms"));
    });
    card->addRow(offsetRow);
    return card;
}

QWidget* MenuPanel::makeTools() {
    auto* tools = new Card(this);
    auto* row = new QWidget(tools);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(4, 0, 4, 0);
    layout->setSpacing(2);
    layout->addWidget(new ToolButton(
        "slider.horizontal.3", "EQ", [this] { model_->openEQ(); }, row));
    pluginTool_ = new ToolButton(
        "macwindow", "Plugin", [this] { model_->openPlugin(); }, row);
    latencyTool_ = new ToolButton(
        "stopwatch", "Latenz", [this] { model_->openLatency(); }, row);
    layout->addWidget(pluginTool_);
    layout->addWidget(latencyTool_);
    tools->addRow(row);
    return tools;
}

QWidget* MenuPanel::makeSettingsCard() {
    auto* card = new Card(this);
    launchAtLogin_ = new ToggleRow(
        "power", model_->launchAtLoginTitle(), [this](bool on) { model_->setLaunchesAtLogin(on); }, card);
    card->addRow(launchAtLogin_);
    card->addRow(new CardDivider(card));
    auto* shortcutRow = new QWidget(card);
    shortcutRow->setFixedHeight(PanelStyle::kRowHeight + 4);
    auto* layout = new QHBoxLayout(shortcutRow);
    layout->setContentsMargins(PanelStyle::kRowPadding, 0, PanelStyle::kRowPadding, 0);
    layout->setSpacing(8);
    layout->addWidget(new RowIcon("keyboard", shortcutRow));
    layout->addWidget(label(QStringLiteral("Tastenkürzel Pause/Start"), PanelStyle::font(10), shortcutRow), 1);
    shortcut_ = new ShortcutRecorder(
        model_->pauseShortcut(), [this](const std::optional<KeyShortcut>& value) { model_->setPauseShortcut(value); },
        shortcutRow);
    layout->addWidget(shortcut_);
    card->addRow(shortcutRow);
    return card;
}

QWidget* MenuPanel::makeFooter() {
    auto* footer = new QWidget(this);
    auto* layout = new QHBoxLayout(footer);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    updates_ = new FooterButton(
        "arrow.triangle.2.circlepath", "Updates", [this] { model_->checkForUpdates(); }, footer);
    layout->addWidget(updates_);
    layout->addWidget(new FooterButton(
        "envelope", "Feedback", [this] { model_->sendFeedback(); }, footer));
    layout->addStretch(1);
    layout->addWidget(new FooterButton(
        "xmark.circle", "Beenden", [this] { model_->quit(); }, footer));
    return footer;
}

void MenuPanel::refreshNotices() {
    const auto notices = model_->notices();
    std::vector<std::string> texts;
    for (const auto& notice : notices)
        texts.push_back(notice.text);
    if (texts == shownNotices_)
        return;
    shownNotices_ = texts;
    while (QLayoutItem* item = notices_->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    for (const auto& notice : notices) {
        std::function<void()> action;
        if (notice.opensSettings)
            action = [this] { model_->openExtensionSettings(); };
        notices_->addWidget(new Notice(notice.icon, notice.text, std::move(action), this));
    }
}

void MenuPanel::refresh() {
    const MenuPanelModel& model = *model_;
    status_->setText(
        status_->fontMetrics().elidedText(QString::fromStdString(model.statusLine()), Qt::ElideRight, 220));
    status_->setToolTip(QString::fromStdString(model.statusLine()));
    const auto latency = model.latencyMilliseconds();
    latency_->setText(latency ? QString::number(*latency) : QString());
    latency_->setVisible(latency.has_value());
    latencyUnit_->setVisible(latency.has_value());
    power_->setOn(model.isPowerOn(), QString::fromStdString(model.powerLabel()));
    refreshNotices();

    input_->setValue(model.inputValue());
    plugin_->setValue(model.pluginValue());
    bypass_->setOn(model.isBypassed());
    eq_->setOn(model.isEQOn());
    eq_->setRowEnabled(model.isEQToggleEnabled());
    monitoring_->setOn(model.isMonitoring());
    monitorDevice_->setVisible(model.isMonitoring());
    monitorDivider_->setVisible(model.isMonitoring());
    monitorDevice_->setValue(model.monitorDeviceValue());

    camera_->setValue(model.cameraValue());
    {
        const QSignalBlocker quiet(offset_);
        offset_->setValue(static_cast<int>(model.videoOffsetMilliseconds()));
    }
    offsetValue_->setText(QString::number(model.videoOffsetMilliseconds()) + QStringLiteral(" ms"));
    caption_->setText(QString::fromStdString(model.videoDelayCaption()));

    pluginTool_->setEnabled(model.arePluginToolsEnabled());
    latencyTool_->setEnabled(model.arePluginToolsEnabled());
    launchAtLogin_->setTitle(model.launchAtLoginTitle());
    launchAtLogin_->setOn(model.launchesAtLogin());
    if (!shortcut_->isRecording() && shortcut_->shortcut() != model.pauseShortcut())
        shortcut_->setShortcut(model.pauseShortcut());
    updates_->setEnabled(model.canCheckForUpdates());
}

}  // namespace velunto
