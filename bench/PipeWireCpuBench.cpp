// The agent's CPU while a video plays on the shared screen: a private PipeWire daemon, a GStreamer
// producer at the given size and rate (a moving ball: every frame differs), and the agent's screen
// stream sampled as the screen reader samples it, once every 1.2 s. Prints the CPU of this process
// (all its threads, the stream's PipeWire thread among them) per second, median and worst, and how
// many frames came and how many were copied.
//
//   pipewire_cpu_bench [width height fps seconds [variable]]      (default 1920 1080 30 20)
//
// "variable": the producer offers a variable rate up to `fps`, as compositors do behind the portal,
// rather than a fixed one; the first log line then shows the rate the stream asked for.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/Platform.h"
#include "platform/linux/common/PosixFacilities.h"
#include "platform/linux/wayland/PipeWireStream.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

pid_t start(std::vector<std::string> argv) {
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> args;
        for (auto& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        std::freopen("/dev/null", "w", stdout);
        std::freopen("/dev/null", "w", stderr);
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}

void stop(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

std::string output(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[256];
        while (std::fgets(buf, sizeof buf, p)) out += buf;
        pclose(p);
    }
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The stream's log lines (the format it was given) go to the terminal.
class TerminalLog final : public platform::Files {
public:
    std::string applicationSupportDirectory() const override { return "/nonexistent"; }
    std::optional<std::string> readFile(const std::string&) override { return std::nullopt; }
    bool appendLog(const std::string&, const std::string& bytes) override {
        std::fputs(("# " + bytes).c_str(), stdout);
        return true;
    }
    std::optional<std::string> resourcePath(const std::string&, const std::string&) const override { return std::nullopt; }
};

}  // namespace

int main(int argc, char** argv) {
    const int width = argc > 1 ? std::atoi(argv[1]) : 1920, height = argc > 2 ? std::atoi(argv[2]) : 1080;
    const int fps = argc > 3 ? std::atoi(argv[3]) : 30, seconds = argc > 4 ? std::atoi(argv[4]) : 20;
    platform::Services services;
    services.clock = std::make_shared<linuxplatform::SystemClock>();
    services.files = std::make_shared<TerminalLog>();
    platform::install(services);

    char pattern[] = "/tmp/ws-pwbench-XXXXXX";
    const fs::path dir = mkdtemp(pattern);
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    setenv("PIPEWIRE_RUNTIME_DIR", dir.c_str(), 1);
    const pid_t pipewire = start({"pipewire"});
    for (int i = 0; i < 500 && !fs::exists(dir / "pipewire-0"); ++i) std::this_thread::sleep_for(20ms);
    const bool variable = argc > 5 && std::string(argv[5]) == "variable";
    const std::string caps = "video/x-raw,format=BGRx,width=" + std::to_string(width) + ",height=" + std::to_string(height) +
                             (variable ? ",framerate=0/1,max-framerate=" : ",framerate=") + std::to_string(fps) + "/1";
    const pid_t producer = start({"gst-launch-1.0", "-q", "videotestsrc", "pattern=ball", "!", caps, "!", "pipewiresink",
                                  "mode=provide", "stream-properties=p,node.name=ws-bench-producer,media.class=Video/Source"});
    int status = 1;
    {
        linuxplatform::PipeWireStream stream(-1, linuxplatform::PipeWireStream::kAnyNode);
        bool linked = stream.start();
        for (int i = 0; linked && i < 500; ++i) {
            const std::string in = output("pw-link -i | grep '^wellspire-screen:' | head -n1");
            const std::string out = output("pw-link -o | grep '^ws-bench-producer:' | head -n1");
            if (!in.empty() && !out.empty() && std::system(("pw-link '" + out + "' '" + in + "' 2>/dev/null").c_str()) == 0) break;
            std::this_thread::sleep_for(20ms);
            linked = i < 499;
        }
        for (int i = 0; linked && stream.frames() == 0 && i < 500; ++i) std::this_thread::sleep_for(20ms);
        if (!linked || stream.frames() == 0) {
            std::fprintf(stderr, "no frames came from the producer\n");
        } else {
            std::this_thread::sleep_for(2s);  // past the start
            std::vector<double> percent;
            const auto begin = std::chrono::steady_clock::now();
            auto nextSample = begin;
            auto tick = begin;
            double cpu = cpuSeconds();
            const auto copiedBefore = stream.frames();
            while (static_cast<int>(percent.size()) < seconds) {
                const auto now = std::chrono::steady_clock::now();
                if (now >= nextSample) {
                    stream.latest();  // the screen reader's sample
                    nextSample += 1200ms;
                }
                if (now - tick >= 1s) {
                    const double c = cpuSeconds();
                    percent.push_back(100 * (c - cpu) / std::chrono::duration<double>(now - tick).count());
                    cpu = c;
                    tick = now;
                }
                std::this_thread::sleep_for(10ms);
            }
            const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
            std::vector<double> sorted = percent;
            std::sort(sorted.begin(), sorted.end());
            std::printf("producer %dx%d at %d fps, %d s\n", width, height, fps, seconds);
            std::printf("cpu_percent_of_one_core median=%.1f worst=%.1f\n", sorted[sorted.size() / 2], sorted.back());
            std::printf("frames_copied_per_second=%.2f\n", static_cast<double>(stream.frames() - copiedBefore) / wall);
            status = 0;
        }
    }
    stop(producer);
    stop(pipewire);
    std::error_code ignored;
    fs::remove_all(dir, ignored);
    platform::install({});
    return status;
}
