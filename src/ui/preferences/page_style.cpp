#include "ui/preferences/page_style.h"

#include <QPalette>

namespace lumeno::ui::style {

QFont scaledFont(const QFont& base, int points) {
    constexpr double kSystemPoints = 13.0;
    QFont font = base;
    font.setPointSizeF(base.pointSizeF() * points / kSystemPoints);
    return font;
}

void setTextColor(QLabel* label, const QColor& color) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
}

void resetTextColor(QLabel* label) { label->setPalette(QPalette()); }

QLabel* sectionLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    QFont font = label->font();
    font.setWeight(QFont::DemiBold);
    label->setFont(font);
    return label;
}

QLabel* noteLabel(const QString& text, int pointSize, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setFont(scaledFont(label->font(), pointSize));
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::NoTextInteraction);
    setTextColor(label, kSecondary);
    return label;
}

}  // namespace lumeno::ui::style
