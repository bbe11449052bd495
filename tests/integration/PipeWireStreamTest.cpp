// The screen-stream consumer against a private PipeWire daemon and a GStreamer producer of a known
// picture: a 40x30 block of #204060 with a red border 10 pixels wide on the left and 6 on top.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/wayland/PipeWireStream.h"

namespace {

namespace fs = std::filesystem;
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
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
};

// Real processes: the condition is polled until it holds or the deadline passes.
bool within(std::chrono::seconds limit, const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
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
    return out;
}

class PipeWireStreamTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::system("command -v pipewire pw-link gst-launch-1.0 >/dev/null") != 0)
            GTEST_SKIP() << "pipewire, pipewire-bin and gstreamer1.0-tools are needed";
        char pattern[] = "/tmp/ws-pipewire-XXXXXX";
        dir_ = mkdtemp(pattern);
        setenv("PIPEWIRE_RUNTIME_DIR", dir_.c_str(), 1);
        daemon_ = std::make_unique<Child>(std::vector<std::string>{"pipewire"});
        ASSERT_TRUE(within(std::chrono::seconds(10), [&] { return fs::exists(dir_ / "pipewire-0"); }));
    }
    void TearDown() override {
        producer_.reset();
        daemon_.reset();
        unsetenv("PIPEWIRE_RUNTIME_DIR");
        if (!dir_.empty()) fs::remove_all(dir_);
    }

    void produce(const std::string& format) {
        producer_ = std::make_unique<Child>(std::vector<std::string>{
            "gst-launch-1.0", "-q", "videotestsrc", "pattern=solid-color", "foreground-color=0xff204060", "!",
            "video/x-raw,width=40,height=30", "!", "videobox", "left=-10", "top=-6", "fill=red", "!", "videoconvert",
            "!", "video/x-raw,format=" + format + ",width=50,height=36,framerate=10/1", "!", "pipewiresink",
            "mode=provide", "stream-properties=p,node.name=ws-producer,media.class=Video/Source"});
    }

    // No session manager runs here: the test links the producer to the consumer itself.
    bool link() {
        return within(std::chrono::seconds(10), [] {
            std::string in = output("pw-link -i | grep '^wellspire-screen:' | head -n1");
            std::string out = output("pw-link -o | grep '^ws-producer:' | head -n1");
            if (in.empty() || out.empty()) return false;
            in.pop_back();
            out.pop_back();
            return std::system(("pw-link '" + out + "' '" + in + "' >/dev/null 2>&1").c_str()) == 0;
        });
    }

    fs::path dir_;
    std::unique_ptr<Child> daemon_, producer_;
};

std::array<int, 3> pixel(const platform::Image& image, int x, int y) {
    const auto* p = image.rgba.data() + (static_cast<std::size_t>(y) * image.width + x) * 4;
    EXPECT_EQ(p[3], 255);
    return {p[0], p[1], p[2]};
}

TEST_F(PipeWireStreamTest, KeepsTheProducersLatestPictureInEveryByteOrder) {
    for (const std::string format : {"BGRx", "RGBA"}) {
        SCOPED_TRACE(format);
        produce(format);
        PipeWireStream stream(-1, PipeWireStream::kAnyNode);
        ASSERT_TRUE(stream.start());
        EXPECT_EQ(stream.latest(), nullptr);  // nothing before a frame came
        ASSERT_TRUE(link());
        ASSERT_TRUE(within(std::chrono::seconds(10), [&] { return stream.frames() >= 2; }));
        auto image = stream.latest();
        ASSERT_NE(image, nullptr);
        ASSERT_EQ(image->width, 50);
        ASSERT_EQ(image->height, 36);
        ASSERT_EQ(image->rgba.size(), 50u * 36 * 4);
        EXPECT_EQ(pixel(*image, 0, 0), (std::array<int, 3>{255, 0, 0}));
        EXPECT_EQ(pixel(*image, 9, 35), (std::array<int, 3>{255, 0, 0}));
        EXPECT_EQ(pixel(*image, 49, 5), (std::array<int, 3>{255, 0, 0}));
        EXPECT_EQ(pixel(*image, 10, 6), (std::array<int, 3>{0x20, 0x40, 0x60}));
        EXPECT_EQ(pixel(*image, 49, 35), (std::array<int, 3>{0x20, 0x40, 0x60}));
        EXPECT_FALSE(stream.ended());
        producer_.reset();
    }
}

TEST_F(PipeWireStreamTest, WithoutADaemonTheStreamDoesNotStart) {
    daemon_.reset();
    fs::remove(dir_ / "pipewire-0");
    PipeWireStream stream(-1, PipeWireStream::kAnyNode);
    EXPECT_FALSE(stream.start());
    EXPECT_TRUE(stream.ended());
    EXPECT_EQ(stream.latest(), nullptr);
}

}  // namespace
