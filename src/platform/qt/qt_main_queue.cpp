#include "platform/qt/qt_main_queue.h"

#include <QMetaObject>
#include <QTimer>

namespace lumeno::platform {

namespace {
core::TimerHandle newHandle() { return core::TimerHandle(std::make_shared<std::atomic<bool>>(false)); }
}  // namespace

QtMainQueue::QtMainQueue() : context_(new QObject) {}

QtMainQueue::~QtMainQueue() { delete context_; }

void QtMainQueue::async(std::function<void()> task) {
    QMetaObject::invokeMethod(context_, [task = std::move(task)] { task(); }, Qt::QueuedConnection);
}

core::TimerHandle QtMainQueue::asyncAfter(std::chrono::milliseconds delay, std::function<void()> task) {
    auto handle = newHandle();
    auto* context = context_;
    async([context, delay, handle, task = std::move(task)] {
        QTimer::singleShot(delay, context, [handle, task] {
            if (!handle.isCancelled()) task();
        });
    });
    return handle;
}

core::TimerHandle QtMainQueue::every(std::chrono::milliseconds period, std::function<void()> task) {
    auto handle = newHandle();
    auto* context = context_;
    async([context, period, handle, task = std::move(task)] {
        if (handle.isCancelled()) return;
        auto* timer = new QTimer(context);
        timer->setInterval(period);
        QObject::connect(timer, &QTimer::timeout, context, [timer, handle, task] {
            if (handle.isCancelled()) {
                timer->stop();
                timer->deleteLater();
                return;
            }
            task();
        });
        timer->start();
    });
    return handle;
}

}  // namespace lumeno::platform
