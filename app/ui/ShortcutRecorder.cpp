#include "app/ui/ShortcutRecorder.h"

#include <QApplication>
#include <QKeyEvent>
#include <QString>
#include <utility>

namespace velunto {

namespace {

constexpr std::uint32_t kDelete = 51;
constexpr std::uint32_t kForwardDelete = 117;
constexpr std::uint32_t kEscape = 53;

constexpr std::pair<std::uint32_t, const char*> kKeyNames[] = {
    {49, "Leertaste"}, {36, "↩"},  {48, "⇥"},  {122, "F1"}, {120, "F2"}, {99, "F3"},   {118, "F4"},
    {96, "F5"},        {97, "F6"}, {98, "F7"}, {100, "F8"}, {101, "F9"}, {109, "F10"}, {103, "F11"},
    {111, "F12"},      {123, "←"}, {124, "→"}, {126, "↑"},  {125, "↓"},
};

// Qt keys and their virtual key codes on the US layout.
constexpr std::pair<int, std::uint32_t> kKeyCodes[] = {
    {Qt::Key_A, 0x00},          {Qt::Key_S, 0x01},      {Qt::Key_D, 0x02},
    {Qt::Key_F, 0x03},          {Qt::Key_H, 0x04},      {Qt::Key_G, 0x05},
    {Qt::Key_Z, 0x06},          {Qt::Key_X, 0x07},      {Qt::Key_C, 0x08},
    {Qt::Key_V, 0x09},          {Qt::Key_B, 0x0B},      {Qt::Key_Q, 0x0C},
    {Qt::Key_W, 0x0D},          {Qt::Key_E, 0x0E},      {Qt::Key_R, 0x0F},
    {Qt::Key_Y, 0x10},          {Qt::Key_T, 0x11},      {Qt::Key_1, 0x12},
    {Qt::Key_2, 0x13},          {Qt::Key_3, 0x14},      {Qt::Key_4, 0x15},
    {Qt::Key_6, 0x16},          {Qt::Key_5, 0x17},      {Qt::Key_Equal, 0x18},
    {Qt::Key_9, 0x19},          {Qt::Key_7, 0x1A},      {Qt::Key_Minus, 0x1B},
    {Qt::Key_8, 0x1C},          {Qt::Key_0, 0x1D},      {Qt::Key_BracketRight, 0x1E},
    {Qt::Key_O, 0x1F},          {Qt::Key_U, 0x20},      {Qt::Key_BracketLeft, 0x21},
    {Qt::Key_I, 0x22},          {Qt::Key_P, 0x23},      {Qt::Key_Return, 0x24},
    {Qt::Key_Enter, 0x24},      {Qt::Key_L, 0x25},      {Qt::Key_J, 0x26},
    {Qt::Key_Apostrophe, 0x27}, {Qt::Key_K, 0x28},      {Qt::Key_Semicolon, 0x29},
    {Qt::Key_Backslash, 0x2A},  {Qt::Key_Comma, 0x2B},  {Qt::Key_Slash, 0x2C},
    {Qt::Key_N, 0x2D},          {Qt::Key_M, 0x2E},      {Qt::Key_Period, 0x2F},
    {Qt::Key_Tab, 0x30},        {Qt::Key_Space, 0x31},  {Qt::Key_QuoteLeft, 0x32},
    {Qt::Key_Backspace, 0x33},  {Qt::Key_Escape, 0x35}, {Qt::Key_F5, 0x60},
    {Qt::Key_F6, 0x61},         {Qt::Key_F7, 0x62},     {Qt::Key_F3, 0x63},
    {Qt::Key_F8, 0x64},         {Qt::Key_F9, 0x65},     {Qt::Key_F11, 0x67},
    {Qt::Key_F10, 0x6D},        {Qt::Key_F12, 0x6F},    {Qt::Key_Delete, 0x75},
    {Qt::Key_F4, 0x76},         {Qt::Key_F2, 0x78},     {Qt::Key_F1, 0x7A},
    {Qt::Key_Left, 0x7B},       {Qt::Key_Right, 0x7C},  {Qt::Key_Down, 0x7D},
    {Qt::Key_Up, 0x7E},
};

}  // namespace

// The application-local key-down monitor while recording: every key press is swallowed.
class ShortcutRecorder::Monitor : public QObject {
public:
    explicit Monitor(ShortcutRecorder& recorder) : recorder_(recorder) { qApp->installEventFilter(this); }
    ~Monitor() override { qApp->removeEventFilter(this); }

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::ShortcutOverride)
            return true;
        if (event->type() != QEvent::KeyPress)
            return false;
        recorder_.handle(static_cast<const QKeyEvent&>(*event));
        return true;
    }

private:
    ShortcutRecorder& recorder_;
};

ShortcutRecorder::ShortcutRecorder(std::optional<KeyShortcut> shortcut, Binding onChange, QWidget* parent)
    : QPushButton(parent), shortcut_(std::move(shortcut)), onChange_(std::move(onChange)) {
    setToolTip(QStringLiteral("Klicken und Tastenkombination drücken. Esc bricht ab, ⌫ löscht."));
    connect(this, &QPushButton::clicked, [this] {
        if (!isRecording())
            startRecording();
    });
    updateTitle();
}

ShortcutRecorder::~ShortcutRecorder() {
    stopRecording();
}

void ShortcutRecorder::setShortcut(std::optional<KeyShortcut> shortcut) {
    shortcut_ = std::move(shortcut);
    updateTitle();
}

void ShortcutRecorder::startRecording() {
    monitor_ = new Monitor(*this);
    updateTitle();
}

void ShortcutRecorder::stopRecording() {
    delete monitor_;
    monitor_ = nullptr;
    updateTitle();
}

void ShortcutRecorder::updateTitle() {
    if (isRecording())
        setText(QStringLiteral("Taste drücken …"));
    else if (shortcut_)
        setText(QString::fromStdString(shortcut_->display));
    else
        setText(QStringLiteral("Festlegen"));
}

void ShortcutRecorder::handle(const QKeyEvent& event) {
    const auto key = keyDown(event);
    if (!key)
        return;
    if (key->keyCode == kDelete || key->keyCode == kForwardDelete) {
        shortcut_.reset();
        if (onChange_)
            onChange_(shortcut_);
        stopRecording();
        return;
    }
    if (key->keyCode == kEscape) {
        stopRecording();
        return;
    }
    auto built = shortcutFromKeyDown(key->keyCode, key->modifierFlags, key->characters);
    if (!built)
        return;  // no control, option or command: keep listening
    shortcut_ = std::move(built);
    if (onChange_)
        onChange_(shortcut_);
    stopRecording();
}

std::optional<KeyShortcut> ShortcutRecorder::shortcutFromKeyDown(std::uint32_t keyCode, std::uint64_t modifierFlags,
                                                                 const std::string& charactersIgnoringModifiers) {
    if (!(modifierFlags & (kControl | kOption | kCommand)))
        return std::nullopt;
    KeyShortcut shortcut{keyCode, 0, {}};
    const std::pair<std::uint64_t, std::pair<const char*, std::uint32_t>> order[] = {
        {kControl, {"⌃", 0x1000}},
        {kOption, {"⌥", 0x0800}},
        {kShift, {"⇧", 0x0200}},
        {kCommand, {"⌘", 0x0100}},
    };
    for (const auto& [flag, mark] : order)
        if (modifierFlags & flag) {
            shortcut.display += mark.first;
            shortcut.modifiers |= mark.second;
        }
    for (const auto& [code, name] : kKeyNames)
        if (code == keyCode) {
            shortcut.display += name;
            return shortcut;
        }
    shortcut.display += charactersIgnoringModifiers.empty()
                            ? std::string("?")
                            : QString::fromStdString(charactersIgnoringModifiers).toUpper().toStdString();
    return shortcut;
}

std::optional<ShortcutRecorder::KeyDown> ShortcutRecorder::keyDown(const QKeyEvent& event) {
    const int key = event.key();
    std::optional<std::uint32_t> code;
    for (const auto& [qtKey, virtualKey] : kKeyCodes)
        if (qtKey == key)
            code = virtualKey;
    if (!code)
        return std::nullopt;
    std::uint64_t flags = 0;
    const Qt::KeyboardModifiers modifiers = event.modifiers();
    if (modifiers & Qt::ShiftModifier)
        flags |= kShift;
    if (modifiers & Qt::ControlModifier)
        flags |= kControl;
    if (modifiers & Qt::AltModifier)
        flags |= kOption;
    if (modifiers & Qt::MetaModifier)
        flags |= kCommand;
    // Printable keys carry their unshifted character; the others none.
    std::string characters;
    if (key >= 0x21 && key <= 0x7E)
        characters = QString(QChar(key)).toLower().toStdString();
    else if (key == Qt::Key_Space)
        characters = " ";
    return KeyDown{*code, flags, characters};
}

}  // namespace velunto
