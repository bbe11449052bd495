#pragma once
// One PipeWire video stream, consumed on its own PipeWire thread. Only the latest frame is kept (its
// visible area copied as it arrives, under a lock); it is turned into an RGBA image only when asked
// for, so a screen sampled every second or so costs one copy per frame and one conversion per sample.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/ScreenCapture.h"

struct pw_thread_loop;
struct pw_context;
struct pw_core;
struct pw_stream;
struct spa_pod;

namespace linuxplatform {

class PipeWireStream {
public:
    static constexpr std::uint32_t kAnyNode = 0xffffffffu;  // whichever node the session manager links

    // `fd`: a PipeWire remote, as the ScreenCast portal opens it (duplicated here, the caller keeps
    // its own), or -1 for the user's own PipeWire daemon. `node`: the node to consume.
    PipeWireStream(int fd, std::uint32_t node);
    ~PipeWireStream();
    PipeWireStream(const PipeWireStream&) = delete;
    PipeWireStream& operator=(const PipeWireStream&) = delete;

    // Connects; false when PipeWire cannot be reached. The frames then come by themselves.
    bool start();

    // Any thread. The latest frame, opaque RGBA, or nothing before the first one.
    std::shared_ptr<const platform::Image> latest() const;
    // Frames received so far.
    std::uint64_t frames() const { return frames_.load(); }
    // The stream failed, or its producer or the remote went away.
    bool ended() const { return ended_.load(); }

    struct Listener;

private:
    void onFormat(const spa_pod* param);
    void onProcess();
    void onEnded();

    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    pw_stream* stream_ = nullptr;
    std::unique_ptr<Listener> listener_;
    int fd_ = -1;
    std::uint32_t node_ = 0;

    // Negotiated on the PipeWire thread.
    std::uint32_t format_ = 0;
    int width_ = 0, height_ = 0;

    mutable std::mutex mutex_;
    // PipeWire thread: the next frame is copied here, then swapped in. Readers convert the latest
    // frame outside the lock, so the PipeWire thread never waits for a conversion.
    std::shared_ptr<std::vector<std::uint8_t>> spare_;
    // The latest frame's visible area, rows packed, in the negotiated byte order.
    std::shared_ptr<const std::vector<std::uint8_t>> raw_;
    int rawWidth_ = 0, rawHeight_ = 0;
    bool rawBgr_ = false;
    std::uint64_t rawSequence_ = 0;
    // The last conversion, handed out again while no newer frame came.
    mutable std::shared_ptr<const platform::Image> converted_;
    mutable std::uint64_t convertedSequence_ = 0;

    std::atomic<std::uint64_t> frames_{0};
    std::atomic<bool> ended_{false};
};

}  // namespace linuxplatform
