#pragma once
// What the compositor-native capture suites share: fixed compositor windows, processes started with
// their own variables, bounded waits, and a capture call awaited to its completion.
#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/ScreenCapture.h"
#include "platform/linux/wayland/CompositorWindows.h"

extern char** environ;

namespace capturetest {

using namespace std::chrono_literals;

class FixedWindows final : public linuxplatform::CompositorWindows {
public:
    std::vector<linuxplatform::CompositorWindow> list;
    std::vector<linuxplatform::CompositorWindow> windows() const override { return list; }
};

// `extraEnv` replaces the inherited variables of the same names.
inline pid_t spawn(std::vector<std::string> args, const std::vector<std::string>& extraEnv) {
    std::vector<std::string> env(extraEnv);
    for (char** e = environ; *e; ++e) {
        const std::string entry(*e), name = entry.substr(0, entry.find('=') + 1);
        if (std::none_of(extraEnv.begin(), extraEnv.end(), [&](const std::string& x) { return x.rfind(name, 0) == 0; }))
            env.push_back(entry);
    }
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    for (auto& e : env) envp.push_back(e.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    // Their output goes nowhere: a child that outlived a crashed test would otherwise hold the test
    // runner's pipe open, and the runner would wait for it.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const bool spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) == 0;
    posix_spawn_file_actions_destroy(&actions);
    return spawned ? pid : -1;
}

// Polls `ready` until it holds or `timeout` passes: for processes and compositors to come up.
inline bool waitFor(const std::function<bool()>& ready, std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (ready()) return true;
        std::this_thread::sleep_for(100ms);
    }
    return ready();
}

// The result of one call, which must complete within 30 s.
template <typename Result>
Result await(const std::function<void(std::function<void(Result)>)>& call) {
    auto promise = std::make_shared<std::promise<Result>>();
    call([promise](Result r) { promise->set_value(std::move(r)); });
    auto future = promise->get_future();
    if (future.wait_for(30s) != std::future_status::ready) throw std::runtime_error("no completion");
    return future.get();
}

inline platform::ContentResult contentOf(platform::ScreenCapture& c) {
    return await<platform::ContentResult>([&](auto done) { c.shareableContent(done); });
}
inline platform::CaptureResult displayOf(platform::ScreenCapture& c, const platform::ShareableDisplay& d,
                                         const std::vector<platform::ShareableWindow>& excluding, int w, int h) {
    return await<platform::CaptureResult>([&](auto done) { c.captureDisplay(d, excluding, w, h, done); });
}
inline platform::CaptureResult windowOf(platform::ScreenCapture& c, const platform::ShareableWindow& window, int w, int h) {
    return await<platform::CaptureResult>([&](auto done) { c.captureWindow(window, w, h, done); });
}
inline std::string errorOf(const platform::CaptureResult& r) {
    auto* e = std::get_if<platform::CaptureError>(&r);
    return e ? e->description : std::string();
}
inline const std::uint8_t* pixel(const platform::Image& image, int x, int y) {
    return image.rgba.data() + (static_cast<std::size_t>(y) * image.width + x) * 4;
}

}  // namespace capturetest
