#pragma once
// What the signal-source desktop tests share: a GTK probe window in its own process, a main
// loop the test pumps itself, and image files read through ImageMagick.
#include <sys/types.h>

#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/MainLoop.h"
#include "platform/ScreenCapture.h"

namespace desktop {

// tests/desktop/probe_window.py run with the system Python (the one that has GTK bindings).
class ProbeWindow {
public:
    explicit ProbeWindow(std::vector<std::string> args);
    ~ProbeWindow();
    ProbeWindow(const ProbeWindow&) = delete;
    ProbeWindow& operator=(const ProbeWindow&) = delete;
    // Waits for the window titled `title` to be mapped; false when it never is.
    bool waitShown(const std::string& title, double seconds = 15);
    // Makes it the active window and waits until the window manager says so.
    bool activate();
    pid_t pid() const { return pid_; }
    // X window id, decimal as xdotool prints it.
    const std::string& window() const { return window_; }

private:
    pid_t pid_ = -1;
    std::string window_;
};

// Posted tasks run when the test pumps; repeating timers fire from the pump as well.
class PumpedMainLoop final : public platform::MainLoop {
public:
    PumpedMainLoop() : owner_(std::this_thread::get_id()) {}
    void post(std::function<void()> task) override;
    std::shared_ptr<platform::Timer> scheduleRepeating(double seconds, std::function<void()> task) override;
    bool isMainThread() const override { return std::this_thread::get_id() == owner_; }
    // Runs what is due until `done` holds or `seconds` pass; returns `done()`.
    bool pumpUntil(const std::function<bool()>& done, double seconds);
    void pump(double seconds) {
        pumpUntil([] { return false; }, seconds);
    }

private:
    struct Repeating {
        double interval;
        std::chrono::steady_clock::time_point next;
        std::function<void()> task;
    };
    void runDue();
    std::thread::id owner_;
    std::mutex mutex_;
    std::deque<std::function<void()>> tasks_;
    std::vector<Repeating> timers_;
};

// An image file as RGBA, through `convert ... ppm:`; nothing when it cannot be read.
std::optional<platform::Image> loadImage(const std::string& path);
// Runs `xdotool args` and waits for it.
void xdotool(const std::string& args);

}  // namespace desktop
