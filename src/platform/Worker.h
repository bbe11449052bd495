#pragma once
#include <functional>
#include <memory>

namespace platform {

// Runs tasks off the main thread (the screen capture cycle).
class Worker {
public:
    virtual ~Worker() = default;
    virtual void run(std::function<void()> task) = 0;
};

// A counting semaphore with a timed wait. The simulated one waits on the virtual clock.
class Semaphore {
public:
    virtual ~Semaphore() = default;
    virtual void signal() = 0;
    // Returns true when signalled within `seconds`.
    virtual bool wait(double seconds) = 0;
};

class SemaphoreFactory {
public:
    virtual ~SemaphoreFactory() = default;
    virtual std::shared_ptr<Semaphore> make() = 0;
};

}  // namespace platform
