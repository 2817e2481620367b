#include "app/ui/PluginEditorView.h"

#include <QGuiApplication>

#include "platform/audiounit/AudioUnitEditor.h"
#include "platform/avaudio/AVAudioUnit.h"

namespace velunto {

PluginEditorView::PluginEditorView(std::shared_ptr<AVAudioUnit> unit, QWidget* parent)
    : QWidget(parent), unit_(std::move(unit)) {
    setAttribute(Qt::WA_NativeWindow);
}

PluginEditorView::~PluginEditorView() {
    idle_.stop();
    editor_.reset();  // before the native window and the unit go
}

PluginEditorView* PluginEditorView::make(const std::shared_ptr<AVAudioUnit>& unit, QWidget* parent) {
    if (!unit || !unit->unit().hasCustomView() || QGuiApplication::platformName() != "xcb")
        return nullptr;
    auto* view = new PluginEditorView(unit, parent);
    view->editor_ = unit->unit().createEditor(static_cast<std::uintptr_t>(view->winId()));
    if (!view->editor_) {
        delete view;
        return nullptr;
    }
    QObject::connect(&view->idle_, &QTimer::timeout, view, [view] { view->editor_->idle(); });
    view->idle_.start(33);
    return view;
}

QSize PluginEditorView::sizeHint() const {
    if (editor_ && editor_->width() > 0 && editor_->height() > 0)
        return {editor_->width(), editor_->height()};
    return QWidget::sizeHint();
}

}  // namespace velunto
