#pragma once

#include <QColor>
#include <QFont>
#include <QPalette>

class QLabel;
class QWidget;

namespace velunto {

// Measures, fonts and colours shared by the panel's parts, derived from the palette so that light
// and dark desktops both look right.
namespace PanelStyle {

inline constexpr int kPanelWidth = 340;
inline constexpr int kMargin = 12;
inline constexpr int kCardRadius = 10;
inline constexpr int kRowHeight = 34;
inline constexpr int kRowPadding = 10;
inline constexpr int kIconSize = 16;
inline constexpr int kRowTextInset = kRowPadding + kIconSize + 10;

bool isDark(const QPalette& palette);
QColor cardBackground(const QPalette& palette);
QColor separator(const QPalette& palette);
QColor secondaryText(const QPalette& palette);
QColor accent(const QPalette& palette);
QColor warning(const QPalette& palette);
QFont font(int pointSize, QFont::Weight weight = QFont::Normal);
// Digits of equal width, for values that change while one looks at them.
QFont monospacedDigitFont(int pointSize, QFont::Weight weight = QFont::Normal);
// Shows the label in the secondary text colour of its parent's palette, and remembers that it should.
void markSecondary(QLabel& label);
// After a change of palette (a switch between light and dark): the marked labels under root follow.
void refreshSecondary(QWidget& root);

}  // namespace PanelStyle

}  // namespace velunto
