#pragma once
#include <functional>
#include <memory>

namespace platform {

// A repeating timer. Timers are never invalidated in this program; the handle only
// keeps the registration reachable for whoever stores it.
class Timer {
public:
    virtual ~Timer() = default;
};

class MainLoop {
public:
    virtual ~MainLoop() = default;
    // Queues a task to run on the main thread; tasks run in the order of the calls.
    virtual void post(std::function<void()> task) = 0;
    // Fires `task` on the main thread every `seconds`, the first time one interval from now.
    virtual std::shared_ptr<Timer> scheduleRepeating(double seconds, std::function<void()> task) = 0;
    virtual bool isMainThread() const = 0;
};

}  // namespace platform
