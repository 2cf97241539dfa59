#pragma once

#include <QColor>
#include <QFont>
#include <QLabel>
#include <QString>

namespace lumeno::ui::style {

// The platform colours the texts of the window name, on any Qt style.
inline const QColor kSecondary{0x80, 0x80, 0x80};
inline const QColor kGreen{0x28, 0xa7, 0x45};
inline const QColor kOrange{0xff, 0x95, 0x00};
inline const QColor kRed{0xe0, 0x30, 0x30};
inline const QColor kYellow{0xc8, 0xa0, 0x00};
inline const QColor kBlue{0x00, 0x7a, 0xff};

// The window's sizes are given against a 13-point system font; this keeps their proportions on
// whatever the desktop's font is.
QFont scaledFont(const QFont& base, int points);

void setTextColor(QLabel* label, const QColor& color);
void resetTextColor(QLabel* label);  // the palette's own text colour
// The "Logo", "Commands" and "Status" headings: 13-point medium.
QLabel* sectionLabel(const QString& text, QWidget* parent);
// Small secondary-coloured wrapping text.
QLabel* noteLabel(const QString& text, int pointSize, QWidget* parent);

}  // namespace lumeno::ui::style
