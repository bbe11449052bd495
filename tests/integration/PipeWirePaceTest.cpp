// The screen stream at the pace the agent samples it: a producer sending 30 frames a second, on a
// PipeWire daemon of the test's own, has at most two of them copied a second, the newest kept.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/linux/wayland/PipeWireStream.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using linuxplatform::PipeWireStream;

struct Child {
    pid_t pid = -1;
    explicit Child(std::vector<std::string> argv) {
        pid = fork();
        if (pid == 0) {
            std::vector<char*> args;
            for (auto& a : argv) args.push_back(a.data());
            args.push_back(nullptr);
            std::freopen("/dev/null", "w", stdout);
            std::freopen("/dev/null", "w", stderr);
            execvp(args[0], args.data());
            _exit(127);
        }
    }
    ~Child() {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
};

// PipeWire's folder for this test; the runner's variables come back after.
struct PrivateRuntime {
    fs::path dir;
    std::map<std::string, std::optional<std::string>> saved;
    PrivateRuntime() {
        char pattern[] = "/tmp/ws-pwpace-XXXXXX";
        dir = mkdtemp(pattern);
        for (const char* name : {"XDG_RUNTIME_DIR", "PIPEWIRE_RUNTIME_DIR"}) {
            const char* old = std::getenv(name);
            saved[name] = old ? std::optional<std::string>(old) : std::nullopt;
            setenv(name, dir.c_str(), 1);
        }
    }
    ~PrivateRuntime() {
        for (const auto& [name, value] : saved) value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
};

// Real processes: polled until the deadline.
bool within(std::chrono::seconds limit, const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
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

TEST(PipeWirePaceTest, AThirtyFrameProducerHasAtMostTwoFramesASecondCopiedAndTheNewestKept) {
    if (std::system("command -v pipewire pw-link gst-launch-1.0 >/dev/null") != 0)
        GTEST_SKIP() << "needs pipewire, pipewire-bin and gstreamer1.0-tools";
    PrivateRuntime runtime;
    Child pipewire({"pipewire"});
    ASSERT_TRUE(within(10s, [&] { return fs::exists(runtime.dir / "pipewire-0"); }));
    // The ball moves, so every frame differs from the one before.
    Child producer({"gst-launch-1.0", "-q", "videotestsrc", "pattern=ball", "!",
                    "video/x-raw,format=BGRx,width=64,height=48,framerate=30/1", "!", "pipewiresink", "mode=provide",
                    "stream-properties=p,node.name=ws-pace-producer,media.class=Video/Source"});
    PipeWireStream stream(-1, PipeWireStream::kAnyNode);
    ASSERT_TRUE(stream.start());
    ASSERT_TRUE(within(10s, [] {
        const std::string in = output("pw-link -i | grep '^wellspire-screen:' | head -n1");
        const std::string out = output("pw-link -o | grep '^ws-pace-producer:' | head -n1");
        return !in.empty() && !out.empty() && std::system(("pw-link '" + out + "' '" + in + "' 2>/dev/null").c_str()) == 0;
    }));
    ASSERT_TRUE(within(10s, [&] { return stream.offered() > 0; }));
    const auto first = std::chrono::steady_clock::now();
    const auto copiedAtFirst = stream.frames();
    ASSERT_TRUE(within(20s, [&] { return stream.offered() >= 60; }));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - first).count();
    const auto copied = stream.frames() - copiedAtFirst;
    // One copy per half second at most, the first one at once; and the frames do keep coming in.
    EXPECT_LE(copied, static_cast<std::uint64_t>(seconds * 2) + 1) << seconds << " s, " << stream.offered() << " offered";
    EXPECT_GE(copied, 1u);
    EXPECT_GE(stream.offered(), 4 * stream.frames());
    const auto image = stream.latest();
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, 64);
    EXPECT_EQ(image->height, 48);
    EXPECT_FALSE(stream.ended());
}

}  // namespace
