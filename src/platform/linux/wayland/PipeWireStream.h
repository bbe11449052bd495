#pragma once
// One PipeWire video stream, consumed on its own PipeWire thread. The agent samples the screen about
// once a second, so the stream asks the producer for at most two frames a second and, since a
// producer may send more, copies at most one frame per half second: the others go back unread. A
// frame that came too early is held and copied when its turn comes, unless a newer one replaced it,
// so a screen that changed once and then stood still is never missed. Only the latest copy is kept;
// it is turned into an RGBA image only when asked for.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/ScreenCapture.h"

struct pw_thread_loop;
struct pw_context;
struct pw_core;
struct pw_stream;
struct pw_buffer;
struct spa_pod;
struct spa_source;

namespace linuxplatform {

class PipeWireStream {
public:
    static constexpr std::uint32_t kAnyNode = 0xffffffffu;  // whichever node the session manager links
    // The least time between two copies: twice the agent's need, at its sampling of about a second.
    static constexpr std::chrono::milliseconds kCopyGap{500};

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
    // Frames copied so far.
    std::uint64_t frames() const { return frames_.load(); }
    // Frames the producer sent so far, copied or not.
    std::uint64_t offered() const { return offered_.load(); }
    // The stream failed, or its producer or the remote went away.
    bool ended() const { return ended_.load(); }
    // The PipeWire daemon itself went away (not only this stream's producer).
    bool remoteLost() const { return remoteLost_.load(); }

    struct Listener;

private:
    void onFormat(const spa_pod* param);
    void onProcess();
    void onTimer();
    void onEnded();
    // Copies the buffer's visible area as the latest frame; false when the buffer cannot be read.
    bool copy(const pw_buffer* buffer);

    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    pw_stream* stream_ = nullptr;
    spa_source* timer_ = nullptr;
    std::unique_ptr<Listener> listener_;
    int fd_ = -1;
    std::uint32_t node_ = 0;

    // Negotiated on the PipeWire thread.
    std::uint32_t format_ = 0;
    int width_ = 0, height_ = 0;
    // PipeWire thread: the frame waiting for its turn, and when the last copy was made.
    pw_buffer* held_ = nullptr;
    std::chrono::steady_clock::time_point lastCopy_{};
    bool copiedOnce_ = false;

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

    std::atomic<std::uint64_t> frames_{0}, offered_{0};
    std::atomic<bool> ended_{false};
    std::atomic<bool> remoteLost_{false};
};

}  // namespace linuxplatform
