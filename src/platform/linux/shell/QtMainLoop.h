#pragma once
#include <functional>
#include <memory>
#include <thread>

#include "platform/MainLoop.h"

class QObject;

namespace linuxplatform {

// The Qt GUI thread as the main thread: posted tasks are queued events on one receiver
// (delivered in posting order), timers are QTimers owned by that receiver.
class QtMainLoop final : public platform::MainLoop {
public:
    // Call on the GUI thread after the QApplication exists.
    QtMainLoop();
    ~QtMainLoop() override;
    void post(std::function<void()> task) override;
    std::shared_ptr<platform::Timer> scheduleRepeating(double seconds, std::function<void()> task) override;
    bool isMainThread() const override;

private:
    QObject* receiver_;
    std::thread::id mainThread_;
};

}  // namespace linuxplatform
