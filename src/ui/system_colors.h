#pragma once

#include <QColor>
#include <QPalette>

namespace lumeno::ui {

// The few named colours the window uses, in their light and dark variants, so status and meter
// colours stay readable on either desktop theme.
enum class SystemColor { red, orange, yellow, green, secondaryLabel, separator };

// Dark when the window background is darker than mid grey.
bool isDark(const QPalette& palette);
QColor systemColor(SystemColor color, const QPalette& palette);

}  // namespace lumeno::ui
