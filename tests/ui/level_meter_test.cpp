#include "ui/level_meter.h"

#include <gtest/gtest.h>

#include <QImage>
#include <cmath>

using lumeno::ui::LevelMeter;

namespace {

QImage draw(LevelMeter& meter) {
    meter.resize(360, 60);
    QImage image(360, 60, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    meter.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}

QColor at(const QImage& image, int x, int y = 30) { return image.pixelColor(x, y); }

TEST(LevelMeterTest, BarColourFollowsTheLevel) {
    struct Case {
        float level;
        QColor bar;
    };
    const Case cases[] = {
        {0.7f, QColor(52, 199, 89)},   // green up to 0.7 itself
        {0.9f, QColor(255, 204, 0)},   // yellow up to 0.9 itself
        {0.91f, QColor(255, 59, 48)},  // red above
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.level);
        LevelMeter meter(nullptr, [] { return 0.0; });
        meter.updateLevel(c.level);
        const QImage image = draw(meter);
        EXPECT_EQ(at(image, 20), c.bar);
        EXPECT_EQ(at(image, static_cast<int>(360 * c.level) - 5), c.bar);
    }
}

TEST(LevelMeterTest, OutOfRangeAndNaNLevelsAreClamped) {
    LevelMeter meter(nullptr, [] { return 0.0; });
    for (const auto& [in, out] : std::vector<std::pair<float, float>>{
             {2.5f, 1.0f}, {-1.0f, 0.0f}, {NAN, 0.0f}, {INFINITY, 0.0f}, {0.25f, 0.25f}}) {
        meter.updateLevel(in);
        EXPECT_FLOAT_EQ(meter.currentLevel(), out) << in;
    }
    EXPECT_FLOAT_EQ(meter.peakLevel(), 1.0f);
}

}  // namespace
