#include "ui/system_colors.h"

namespace lumeno::ui {

bool isDark(const QPalette& palette) { return palette.color(QPalette::Window).lightness() < 128; }

QColor systemColor(SystemColor color, const QPalette& palette) {
    const bool dark = isDark(palette);
    switch (color) {
        case SystemColor::red: return dark ? QColor(255, 69, 58) : QColor(255, 59, 48);
        case SystemColor::orange: return dark ? QColor(255, 159, 10) : QColor(255, 149, 0);
        case SystemColor::yellow: return dark ? QColor(255, 214, 10) : QColor(255, 204, 0);
        case SystemColor::green: return dark ? QColor(48, 209, 88) : QColor(52, 199, 89);
        case SystemColor::secondaryLabel: {
            QColor text = palette.color(QPalette::WindowText);
            text.setAlphaF(0.55f);
            return text;
        }
        case SystemColor::separator: {
            QColor text = palette.color(QPalette::WindowText);
            text.setAlphaF(0.15f);
            return text;
        }
    }
    return palette.color(QPalette::WindowText);
}

}  // namespace lumeno::ui
