#pragma once

#include <memory>

#include <QTimer>
#include <QWidget>

namespace velunto {

class AudioUnitEditor;
class AVAudioUnit;

// The plug-in's own editor in the plug-in window: a native child window the unit draws into, given
// about 30 idle calls a second. It keeps the unit alive for as long as it shows it.
class PluginEditorView : public QWidget {
public:
    // Null where the unit brings no editor, the desktop cannot embed one (only X11 can), or the editor
    // fails to open.
    static PluginEditorView* make(const std::shared_ptr<AVAudioUnit>& unit, QWidget* parent);
    ~PluginEditorView() override;

    QSize sizeHint() const override;

private:
    PluginEditorView(std::shared_ptr<AVAudioUnit> unit, QWidget* parent);

    std::shared_ptr<AVAudioUnit> unit_;
    std::unique_ptr<AudioUnitEditor> editor_;
    QTimer idle_;
};

}  // namespace velunto
