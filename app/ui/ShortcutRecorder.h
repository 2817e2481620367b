#pragma once

#include <QPushButton>
#include <functional>
#include <optional>

#include "app/ui/KeyShortcut.h"

class QKeyEvent;

namespace velunto {

// A button that records a key combination: click it, press the keys. Escape cancels, delete
// clears. Main thread only.
class ShortcutRecorder : public QPushButton {
public:
    using Binding = std::function<void(const std::optional<KeyShortcut>&)>;

    ShortcutRecorder(std::optional<KeyShortcut> shortcut, Binding onChange, QWidget* parent = nullptr);
    ~ShortcutRecorder() override;

    const std::optional<KeyShortcut>& shortcut() const { return shortcut_; }
    void setShortcut(std::optional<KeyShortcut> shortcut);
    bool isRecording() const { return monitor_ != nullptr; }

    // Device-independent modifier flags of a key event.
    static constexpr std::uint64_t kShift = 0x20000;
    static constexpr std::uint64_t kControl = 0x40000;
    static constexpr std::uint64_t kOption = 0x80000;
    static constexpr std::uint64_t kCommand = 0x100000;

    // The combination of a key-down event, or none without control, option or command. The name is
    // the key's fixed name, else its characters (ignoring modifiers) upper-cased, else "?".
    static std::optional<KeyShortcut> shortcutFromKeyDown(std::uint32_t keyCode, std::uint64_t modifierFlags,
                                                          const std::string& charactersIgnoringModifiers);

    // The platform's virtual key code, modifier flags and unmodified characters of a Qt key event;
    // none for keys that have no virtual key code.
    struct KeyDown {
        std::uint32_t keyCode;
        std::uint64_t modifierFlags;
        std::string characters;
    };
    static std::optional<KeyDown> keyDown(const QKeyEvent& event);

private:
    class Monitor;
    void startRecording();
    void stopRecording();
    // Returns whether the event was consumed (always, while recording).
    void handle(const QKeyEvent& event);
    void updateTitle();

    std::optional<KeyShortcut> shortcut_;
    Binding onChange_;
    Monitor* monitor_ = nullptr;
};

}  // namespace velunto
