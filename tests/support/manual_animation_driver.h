#pragma once

#include <QAbstractAnimation>
#include <QApplication>

namespace lumeno::testing {

// Qt's animations on a clock the test moves: install() it, then advanceBy().
class ManualAnimationDriver final : public QAnimationDriver {
public:
    void advanceBy(qint64 ms) {
        // Animations register on the event loop in two queued steps and take their start
        // time on the next tick.
        for (int i = 0; i < 3; ++i) QApplication::processEvents();
        advance();
        now_ += ms;
        advance();
        QApplication::sendPostedEvents();  // layouts follow
    }
    qint64 elapsed() const override { return now_; }
    // Qt counts a driver's time from its start.
    void start() override {
        now_ = 0;
        QAnimationDriver::start();
    }

private:
    qint64 now_ = 0;
};

}  // namespace lumeno::testing
