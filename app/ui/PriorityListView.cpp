#include "app/ui/PriorityListView.h"

#include <QDataStream>
#include <QDrag>
#include <QDropEvent>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QPushButton>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>
#include <functional>
#include <set>

#include "app/ui/PanelStyle.h"
#include "app/ui/SymbolImage.h"

namespace velunto {

namespace {

constexpr int kMargin = 16;
constexpr int kSpacing = 10;

QColor connectedGreen(const QPalette& palette) {
    return PanelStyle::isDark(palette) ? QColor(48, 209, 88) : QColor(40, 167, 69);
}

void makeSecondary(QLabel* label) {
    PanelStyle::markSecondary(*label);
}

// A label that shows as much of its text as fits, ending in "…", with the whole text as tooltip.
class ElidedLabel : public QLabel {
public:
    ElidedLabel(const QString& text, QWidget* parent) : QLabel(parent), full_(text) {
        setTextFormat(Qt::PlainText);
        setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        setToolTip(text);
    }

protected:
    void resizeEvent(QResizeEvent* event) override {
        QLabel::resizeEvent(event);
        setText(elided());
    }
    // Elided for the width at hand when painted: a row rendered before its first layout still shows
    // its name.
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setPen(palette().color(foregroundRole()));
        painter.drawText(contentsRect(), static_cast<int>(alignment()), elided());
    }

private:
    QString elided() const { return fontMetrics().elidedText(full_, Qt::ElideRight, contentsRect().width()); }

    QString full_;
};

// The filled circle that tells whether an entry's device is connected.
class StatusDot : public QWidget {
public:
    StatusDot(bool connected, QWidget* parent) : QWidget(parent), connected_(connected) { setFixedSize(10, 16); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QColor color = connected_ ? connectedGreen(palette()) : PanelStyle::secondaryText(palette());
        if (!connected_)
            color.setAlphaF(color.alphaF() * 0.4f);
        painter.setPen(Qt::NoPen);
        painter.setBrush(color);
        painter.drawEllipse(QRectF(width() / 2.0 - 4, height() / 2.0 - 4, 8, 8));
    }

private:
    bool connected_;
};

// The list of rows: dragging selected rows and dropping them elsewhere hands the move to `onDrop`;
// the list itself never moves or removes an item, it is rebuilt from the model afterwards.
class RowList : public QListWidget {
public:
    using DropHandler = std::function<void(const std::set<std::size_t>& rows, std::size_t destination)>;

    RowList(DropHandler onDrop, QWidget* parent) : QListWidget(parent), onDrop_(std::move(onDrop)) {
        setDragDropMode(QAbstractItemView::InternalMove);
        setSelectionMode(QAbstractItemView::ExtendedSelection);
        setAlternatingRowColors(true);
        setUniformItemSizes(true);
        setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
        setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        QPalette palette = this->palette();
        QColor selection = PanelStyle::accent(palette);
        selection.setAlphaF(0.22f);
        palette.setColor(QPalette::Highlight, selection);
        palette.setColor(QPalette::HighlightedText, palette.color(QPalette::Text));
        setPalette(palette);
    }

protected:
    // Rows of this list only; nothing from other lists or applications.
    bool isOwnDrag(const QDropEvent* event) const {
        const QObject* source = event->source();
        return (source == nullptr || source == this) && event->mimeData()->hasFormat(model()->mimeTypes().value(0));
    }

    void dragEnterEvent(QDragEnterEvent* event) override {
        if (!isOwnDrag(event)) {
            event->ignore();
            return;
        }
        setState(QAbstractItemView::DraggingState);
        event->acceptProposedAction();
    }

    // Taking the focus from the keyboard or the window marks no row; the first arrow key does.
    void focusInEvent(QFocusEvent* event) override { QAbstractScrollArea::focusInEvent(event); }

    void startDrag(Qt::DropActions) override {
        const QModelIndexList indexes = selectedIndexes();
        if (indexes.isEmpty())
            return;
        auto* drag = new QDrag(this);
        drag->setMimeData(model()->mimeData(indexes));
        if (QWidget* row = indexWidget(indexes.front())) {
            const qreal ratio = devicePixelRatioF();
            QPixmap picture(row->size() * ratio);
            picture.setDevicePixelRatio(ratio);
            picture.fill(palette().color(QPalette::Base));
            row->render(&picture, QPoint(), QRegion(), QWidget::DrawChildren);
            drag->setPixmap(picture);
            drag->setHotSpot(QPoint(16, row->height() / 2));
        }
        drag->exec(Qt::MoveAction);
    }

    void dropEvent(QDropEvent* event) override {
        if (!isOwnDrag(event)) {
            event->ignore();
            return;
        }
        const std::set<std::size_t> rows = draggedRows(event->mimeData()->data(model()->mimeTypes().value(0)));
        // Copy, not move: the drag's origin must not remove anything; the model reorders the entries.
        event->setDropAction(Qt::CopyAction);
        event->accept();
        stopAutoScroll();
        setState(QAbstractItemView::NoState);
        viewport()->update();
        if (!rows.empty() && onDrop_)
            onDrop_(rows, destinationAt(event->position().toPoint()));
    }

private:
    // The rows named in the item model's standard drag data.
    static std::set<std::size_t> draggedRows(const QByteArray& encoded) {
        std::set<std::size_t> rows;
        QDataStream stream(encoded);
        while (!stream.atEnd()) {
            int row = 0;
            int column = 0;
            QMap<int, QVariant> roles;
            stream >> row >> column >> roles;
            if (stream.status() != QDataStream::Ok)
                break;
            if (row >= 0)
                rows.insert(static_cast<std::size_t>(row));
        }
        return rows;
    }

    // Before the row under the upper half of which `point` lies, after it in the lower half; the end
    // below the last row.
    std::size_t destinationAt(QPoint point) const {
        const QModelIndex index = indexAt(point);
        if (!index.isValid())
            return static_cast<std::size_t>(count());
        const QRect bounds = visualRect(index);
        const int row = index.row();
        return static_cast<std::size_t>(point.y() < bounds.center().y() ? row : row + 1);
    }

    DropHandler onDrop_;
};

bool sameRows(const std::vector<PriorityListRow>& a, const std::vector<PriorityListRow>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const PriorityListRow& x, const PriorityListRow& y) {
        return x.positionText == y.positionText && x.uid == y.uid && x.name == y.name &&
               x.isConnected == y.isConnected && x.statusHelpText == y.statusHelpText && x.badge == y.badge;
    });
}

}  // namespace

PriorityListView::PriorityListView(std::shared_ptr<PriorityListModel> model, QWidget* parent)
    : QWidget(parent), model_(std::move(model)) {
    setFixedWidth(kWidth);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(kMargin, kMargin, kMargin, kMargin);
    layout->setSpacing(kSpacing);

    auto* explanation = new QLabel(QString::fromUtf8(PriorityListModel::kExplanation), this);
    explanation->setFont(PanelStyle::font(9));
    explanation->setTextFormat(Qt::PlainText);
    explanation->setWordWrap(true);
    makeSecondary(explanation);
    layout->addWidget(explanation);
    layout->addWidget(makeList());
    layout->addWidget(makeBar());

    model_->onChange = [this] { refresh(); };
    refresh();
    // The list would mark its first row as current when it took the focus on opening.
    add_->setFocus();
}

PriorityListView::~PriorityListView() {
    model_->onChange = nullptr;
}

QSize PriorityListView::sizeHint() const {
    const int height =
        layout()->hasHeightForWidth() ? layout()->totalHeightForWidth(kWidth) : layout()->totalSizeHint().height();
    return {kWidth, height};
}

QSize PriorityListView::minimumSizeHint() const {
    return sizeHint();
}

QWidget* PriorityListView::makeList() {
    stack_ = new QStackedWidget(this);
    list_ = new RowList(
        [this](const std::set<std::size_t>& rows, std::size_t destination) { model_->moveRows(rows, destination); },
        stack_);
    list_->setFont(PanelStyle::font(10));
    list_->setFixedHeight(kVisibleRows * kRowHeight + 2 * list_->frameWidth());
    stack_->addWidget(list_);

    // Empty, the list keeps its bordered place and says so.
    auto* emptyBox = new QFrame(stack_);
    emptyBox->setFrameShape(list_->frameShape());
    emptyBox->setFrameShadow(list_->frameShadow());
    emptyBox->setAutoFillBackground(true);
    emptyBox->setBackgroundRole(QPalette::Base);
    auto* emptyLayout = new QVBoxLayout(emptyBox);
    empty_ = new QLabel(emptyBox);
    empty_->setFont(PanelStyle::font(10));
    empty_->setTextFormat(Qt::PlainText);
    empty_->setAlignment(Qt::AlignCenter);
    makeSecondary(empty_);
    emptyLayout->addWidget(empty_);
    stack_->addWidget(emptyBox);
    stack_->setFixedHeight(list_->height());
    return stack_;
}

QWidget* PriorityListView::makeBar() {
    auto* bar = new QWidget(this);
    auto* layout = new QHBoxLayout(bar);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    add_ = new QPushButton(QString::fromUtf8(PriorityListModel::kAddDeviceTitle), bar);
    addMenu_ = new QMenu(add_);
    add_->setMenu(addMenu_);
    layout->addWidget(add_);
    layout->addStretch(1);
    activate_ = new QPushButton(QString::fromUtf8(PriorityListModel::kActivateTitle), bar);
    QObject::connect(activate_, &QPushButton::clicked, [this] { model_->activatePriorityMode(); });
    layout->addWidget(activate_);
    return bar;
}

QWidget* PriorityListView::makeRow(const PriorityListRow& row, int positionWidth) {
    auto* widget = new QWidget;
    auto* layout = new QHBoxLayout(widget);
    layout->setContentsMargins(8, 0, 4, 0);
    layout->setSpacing(8);

    auto* position = new QLabel(QString::fromStdString(row.positionText), widget);
    position->setFont(PanelStyle::monospacedDigitFont(10));
    position->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    position->setFixedWidth(positionWidth);
    makeSecondary(position);
    layout->addWidget(position);

    auto* dot = new StatusDot(row.isConnected, widget);
    dot->setToolTip(QString::fromStdString(row.statusHelpText));
    dot->setAccessibleName(dot->toolTip());
    layout->addWidget(dot);

    auto* name = new ElidedLabel(QString::fromStdString(row.name), widget);
    name->setFont(PanelStyle::font(10));
    layout->addWidget(name, 1);

    if (row.badge) {
        auto* badge = new QLabel(QString::fromStdString(*row.badge), widget);
        badge->setFont(PanelStyle::font(8));
        makeSecondary(badge);
        layout->addWidget(badge);
    }

    auto* remove = new QToolButton(widget);
    remove->setAutoRaise(true);
    remove->setIconSize(QSize(16, 16));
    remove->setIcon(SymbolImage::icon(PriorityListModel::kRemoveSymbol, PanelStyle::secondaryText(palette())));
    remove->setToolTip(QString::fromUtf8(PriorityListModel::kRemoveHelp));
    remove->setAccessibleName(remove->toolTip());
    remove->setCursor(Qt::PointingHandCursor);
    QObject::connect(remove, &QToolButton::clicked, [this, uid = row.uid] { removeEntry(uid); });
    layout->addWidget(remove);
    return widget;
}

void PriorityListView::removeEntry(const std::string& uid) {
    // Looked up at the click: the row's place may have changed since the row was built.
    const auto rows = model_->rows();
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (rows[i].uid == uid)
            model_->removeRow(i);
}

void PriorityListView::rebuildRows(const std::vector<PriorityListRow>& rows) {
    list_->clear();
    const QFontMetrics digits(PanelStyle::monospacedDigitFont(10));
    const int positionWidth =
        digits.horizontalAdvance(QString(static_cast<int>(std::to_string(rows.size()).size()), QChar('0')) + '.');
    for (const auto& row : rows) {
        auto* item = new QListWidgetItem(list_);
        item->setSizeHint(QSize(0, kRowHeight));
        item->setData(Qt::AccessibleTextRole, QString::fromStdString(row.name));
        list_->setItemWidget(item, makeRow(row, positionWidth));
    }
    list_->setCurrentRow(-1, QItemSelectionModel::Clear);
}

void PriorityListView::rebuildAddMenu() {
    addMenu_->clear();
    for (const auto& device : model_->addCandidates()) {
        QAction* action = addMenu_->addAction(QString::fromStdString(device.name));
        QObject::connect(action, &QAction::triggered, [this, uid = device.uid] { model_->addDevice(uid); });
    }
}

void PriorityListView::refresh() {
    const auto rows = model_->rows();
    if (!sameRows(rows, shownRows_) || list_->count() != static_cast<int>(rows.size())) {
        rebuildRows(rows);
        shownRows_ = rows;
    }
    const auto emptyText = model_->emptyText();
    empty_->setText(QString::fromStdString(emptyText.value_or("")));
    stack_->setCurrentIndex(emptyText ? 1 : 0);

    rebuildAddMenu();
    add_->setEnabled(model_->canAddDevice());
    activate_->setVisible(model_->showsActivateButton());
    activate_->setEnabled(model_->canActivate());
}

// Secondary texts are a shade of the text colour: they follow a change between light and dark.
void PriorityListView::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange)
        PanelStyle::refreshSecondary(*this);
}

}  // namespace velunto
