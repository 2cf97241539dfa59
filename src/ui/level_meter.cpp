#include "ui/level_meter.h"

#include <QPainter>
#include <QPainterPath>
#include <chrono>
#include <cmath>

#include "ui/system_colors.h"

namespace lumeno::ui {

namespace {

constexpr double kPeakHoldSeconds = 1.0;
constexpr float kPeakDecay = 0.95f;
constexpr qreal kCornerRadius = 8.0;
constexpr qreal kPeakMarkerWidth = 4.0;

double steadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

LevelMeter::LevelMeter(QWidget* parent, Clock clock) : QWidget(parent), clock_(clock ? std::move(clock) : steadySeconds) {}

void LevelMeter::updateLevel(float level) {
    if (!std::isfinite(level)) level = 0.0f;
    level = std::clamp(level, 0.0f, 1.0f);
    currentLevel_ = level;
    const double now = clock_();
    if (level > peakLevel_) {
        peakLevel_ = level;
        peakHoldTime_ = now;
    } else if (now - peakHoldTime_ > kPeakHoldSeconds) {
        // The hold time is not renewed: once it has run out the marker sinks on every update.
        peakLevel_ *= kPeakDecay;
    }
    update();
}

void LevelMeter::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRectF bounds = rect();
    const qreal width = bounds.width();
    const bool dark = isDark(palette());

    QPainterPath clip;
    clip.addRoundedRect(bounds, kCornerRadius, kCornerRadius);
    painter.setClipPath(clip);

    const int background = dark ? 51 : 230;  // white levels 0.2 and 0.9
    painter.fillRect(bounds, QColor(background, background, background));

    const SystemColor barColor = currentLevel_ > 0.9f   ? SystemColor::red
                                 : currentLevel_ > 0.7f ? SystemColor::yellow
                                                        : SystemColor::green;
    painter.fillRect(QRectF(0, 0, width * currentLevel_, bounds.height()), systemColor(barColor, palette()));

    const qreal peakX = width * peakLevel_;
    painter.fillRect(QRectF(peakX - kPeakMarkerWidth / 2, 0, kPeakMarkerWidth, bounds.height()), Qt::white);

    const int scale = dark ? 77 : 204;  // white levels 0.3 and 0.8
    painter.setPen(QPen(QColor(scale, scale, scale), 1.0));
    for (int i = 1; i <= 9; ++i) {
        // Centred on the pixel so a one-point line covers exactly one column.
        const qreal x = std::floor(width * i / 10.0) + 0.5;
        painter.drawLine(QPointF(x, 0), QPointF(x, bounds.height()));
    }
}

}  // namespace lumeno::ui
