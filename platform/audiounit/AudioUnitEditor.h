#pragma once

namespace velunto {

// An editor a unit draws itself inside a native window of the host (an X11 window id). Made, used
// and destroyed on the host's UI thread; it must go before the unit it edits.
class AudioUnitEditor {
public:
    virtual ~AudioUnitEditor() = default;

    // The preferred size in pixels, 0 if unknown.
    virtual int width() const = 0;
    virtual int height() const = 0;
    // Lets the editor redraw and exchange values with its unit; call about 30 times a second on the
    // UI thread.
    virtual void idle() = 0;

protected:
    AudioUnitEditor() = default;
    AudioUnitEditor(const AudioUnitEditor&) = delete;
    AudioUnitEditor& operator=(const AudioUnitEditor&) = delete;
};

}  // namespace velunto
