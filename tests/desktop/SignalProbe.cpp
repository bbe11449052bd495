#include "SignalProbe.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <sstream>

#include "DesktopHarness.h"

namespace desktop {

ProbeWindow::ProbeWindow(std::vector<std::string> args) {
    const std::string script = sourceDir() + "/tests/desktop/probe_window.py";
    pid_ = ::fork();
    if (pid_ == 0) {
        std::vector<char*> argv{const_cast<char*>("/usr/bin/python3"), const_cast<char*>(script.c_str())};
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv("/usr/bin/python3", argv.data());
        ::_exit(127);
    }
}

ProbeWindow::~ProbeWindow() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    const bool ended = waitUntil([&] { return ::waitpid(pid_, nullptr, WNOHANG) == pid_; }, Seconds(3));
    if (!ended) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

bool ProbeWindow::waitShown(const std::string& title, double seconds) {
    auto found = waitForWindow("^" + title + "$", Seconds(seconds));
    if (found) window_ = *found;
    return found.has_value();
}

bool ProbeWindow::activate() {
    if (window_.empty()) return false;
    xdotool("windowactivate --sync " + window_);
    return waitUntil([&] { return sh("xdotool getactivewindow 2>/dev/null").find(window_) == 0; }, Seconds(5));
}

void PumpedMainLoop::post(std::function<void()> task) {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
}

std::shared_ptr<platform::Timer> PumpedMainLoop::scheduleRepeating(double seconds, std::function<void()> task) {
    std::lock_guard lock(mutex_);
    const auto interval = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(seconds));
    timers_.push_back({seconds, std::chrono::steady_clock::now() + interval, std::move(task)});
    return std::make_shared<platform::Timer>();
}

void PumpedMainLoop::runDue() {
    while (true) {
        std::function<void()> task;
        {
            std::lock_guard lock(mutex_);
            const auto now = std::chrono::steady_clock::now();
            for (auto& t : timers_)
                if (t.next <= now) {
                    t.next = now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                       std::chrono::duration<double>(t.interval));
                    tasks_.push_back(t.task);
                }
            if (tasks_.empty()) return;
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();
    }
}

bool PumpedMainLoop::pumpUntil(const std::function<bool()>& done, double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                            std::chrono::duration<double>(seconds));
    while (true) {
        runDue();
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::optional<platform::Image> loadImage(const std::string& path) {
    const std::string ppm = path + ".ppm";
    int status = 0;
    sh("convert " + shellQuote(path) + " -depth 8 " + shellQuote("ppm:" + ppm) + " 2>/dev/null", &status);
    FILE* f = std::fopen(ppm.c_str(), "rb");
    if (status != 0 || !f) {
        if (f) std::fclose(f);
        return std::nullopt;
    }
    int fields = 0, c = 0;
    std::string token;
    std::vector<std::string> tokens;
    // "P6 <width> <height> <max>" then one whitespace byte, comments allowed.
    while (fields < 4 && (c = std::fgetc(f)) != EOF) {
        if (c == '#') {
            while ((c = std::fgetc(f)) != EOF && c != '\n') {}
            continue;
        }
        if (std::isspace(c)) {
            if (!token.empty()) {
                tokens.push_back(token);
                token.clear();
                ++fields;
            }
        } else {
            token += static_cast<char>(c);
        }
    }
    platform::Image image;
    if (tokens.size() != 4 || tokens[0] != "P6" || tokens[3] != "255") {
        std::fclose(f);
        return std::nullopt;
    }
    image.width = std::stoi(tokens[1]);
    image.height = std::stoi(tokens[2]);
    std::vector<unsigned char> rgb(static_cast<std::size_t>(image.width) * image.height * 3);
    const bool whole = std::fread(rgb.data(), 1, rgb.size(), f) == rgb.size();
    std::fclose(f);
    std::remove(ppm.c_str());
    if (!whole) return std::nullopt;
    image.rgba.resize(static_cast<std::size_t>(image.width) * image.height * 4);
    for (std::size_t i = 0, n = static_cast<std::size_t>(image.width) * image.height; i < n; ++i) {
        image.rgba[i * 4] = rgb[i * 3];
        image.rgba[i * 4 + 1] = rgb[i * 3 + 1];
        image.rgba[i * 4 + 2] = rgb[i * 3 + 2];
        image.rgba[i * 4 + 3] = 255;
    }
    return image;
}

void xdotool(const std::string& args) { sh("xdotool " + args + " >/dev/null 2>&1"); }

}  // namespace desktop
