#pragma once

#include <QWidget>
#include <functional>

namespace lumeno::ui {

// The input level bar: green, yellow above 0.7, red above 0.9, with a peak marker that holds
// for a second and then sinks 5 % with every further update, over a ten-step scale.
// Thread: main (the controller hands levels over on the main queue).
class LevelMeter final : public QWidget {
public:
    using Clock = std::function<double()>;  // seconds on a steady clock

    explicit LevelMeter(QWidget* parent = nullptr, Clock clock = {});

    // Levels outside 0..1 are clamped; NaN counts as silence.
    void updateLevel(float level);

    float currentLevel() const { return currentLevel_; }
    float peakLevel() const { return peakLevel_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Clock clock_;
    float currentLevel_ = 0.0f;
    float peakLevel_ = 0.0f;
    double peakHoldTime_ = 0.0;
};

}  // namespace lumeno::ui
