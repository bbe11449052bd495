#include "platform/linux/shell/QtMainLoop.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <string>

#include <QCoreApplication>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include "platform/linux/common/Trace.h"

namespace linuxplatform {

namespace {

// Handles only keep the registration reachable; the QTimer itself lives as long as the receiver.
class QtTimerHandle final : public platform::Timer {};

}  // namespace

QtMainLoop::QtMainLoop() : receiver_(new QObject(QCoreApplication::instance())), mainThread_(std::this_thread::get_id()) {}

QtMainLoop::~QtMainLoop() = default;

namespace {

// The task itself, or the task timed when tracing.
std::function<void()> traced(std::string kind, std::function<void()> task) {
    if (!trace::enabled()) return task;
    return [kind = std::move(kind), task = std::move(task)] {
        const auto t0 = std::chrono::steady_clock::now();
        task();
        trace::task(kind, std::chrono::steady_clock::now() - t0);
    };
}

}  // namespace

void QtMainLoop::post(std::function<void()> task) {
    // Queued to one receiver, so tasks from any thread run in the order of the calls.
    QMetaObject::invokeMethod(receiver_, [task = traced("posted", std::move(task))] { task(); }, Qt::QueuedConnection);
}

std::shared_ptr<platform::Timer> QtMainLoop::scheduleRepeating(double seconds, std::function<void()> task) {
    const int ms = std::max(1, static_cast<int>(std::lround(seconds * 1000.0)));
    QPointer<QObject> receiver = receiver_;
    // Timers are told apart by period and by the order they were made in.
    static std::atomic<int> made{0};
    task = traced("timer " + std::to_string(++made) + " every " + std::to_string(ms) + " ms", std::move(task));
    auto create = [receiver, ms, task = std::move(task)]() mutable {
        if (!receiver) return;
        auto* timer = new QTimer(receiver);
        timer->setTimerType(Qt::PreciseTimer);
        timer->setInterval(ms);
        QObject::connect(timer, &QTimer::timeout, receiver, [task] { task(); });
        timer->start();
    };
    if (isMainThread())
        create();
    else
        QMetaObject::invokeMethod(receiver_, std::move(create), Qt::QueuedConnection);
    return std::make_shared<QtTimerHandle>();
}

bool QtMainLoop::isMainThread() const { return std::this_thread::get_id() == mainThread_; }

}  // namespace linuxplatform
