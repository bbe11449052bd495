#pragma once
// The plain POSIX facilities: wall clock, worker thread, semaphores, files.
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Worker.h"

namespace linuxplatform {

class SystemClock final : public platform::Clock {
public:
    platform::TimePoint now() const override { return std::chrono::system_clock::now(); }
    int localHour(platform::TimePoint t) const override;
};

// One background thread that runs tasks in order.
class ThreadWorker final : public platform::Worker {
public:
    ThreadWorker();
    ~ThreadWorker() override;
    void run(std::function<void()> task) override;

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> tasks_;
    bool stopping_ = false;
    std::thread thread_;
};

class StdSemaphores final : public platform::SemaphoreFactory {
public:
    std::shared_ptr<platform::Semaphore> make() override;
};

class PosixFiles final : public platform::Files {
public:
    // The resources compiled into the program (Qt resource paths, which QImage reads).
    static constexpr const char* kBundledResources = ":/resources";
    // `resourceDir` holds the bundled resources (menubar.png...): a folder, or kBundledResources.
    explicit PosixFiles(std::string resourceDir) : resourceDir_(std::move(resourceDir)) {}
    std::string applicationSupportDirectory() const override;
    std::optional<std::string> readFile(const std::string& path) override;
    bool appendLog(const std::string& path, const std::string& bytes) override;
    std::optional<std::string> resourcePath(const std::string& name, const std::string& type) const override;

private:
    std::string resourceDir_;
};

// The XDG folders, with their defaults under $HOME.
std::string xdgConfigHome();
std::string xdgDataHome();

}  // namespace linuxplatform
