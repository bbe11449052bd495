#include "platform/linux/wayland/PipeWireStream.h"

#include <fcntl.h>
#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "platform/linux/wayland/WaylandLog.h"

namespace linuxplatform {

namespace {

// The byte orders a screen is sent in without a GPU buffer; x and A alike, the screen is opaque.
constexpr std::uint32_t kFormats[] = {SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA, SPA_VIDEO_FORMAT_RGBx,
                                      SPA_VIDEO_FORMAT_RGBA};

bool blueFirst(std::uint32_t format) { return format == SPA_VIDEO_FORMAT_BGRx || format == SPA_VIDEO_FORMAT_BGRA; }

// `paced`: the producer is asked for at most two frames a second, as screen-cast producers (the
// compositors behind the portal) understand it: a variable rate (0/1) with a highest rate.
const spa_pod* formatParam(spa_pod_builder* b, bool paced) {
    // Locals, not compound literals: the builder takes their addresses.
    spa_rectangle size{1920, 1080}, minSize{1, 1}, maxSize{16384, 16384};
    spa_fraction variable{0, 1}, most{2, 1};
    spa_pod_frame f;
    spa_pod_builder_push_object(b, &f, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
    spa_pod_builder_add(b, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
                        SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
                        SPA_POD_CHOICE_ENUM_Id(5, kFormats[0], kFormats[0], kFormats[1], kFormats[2], kFormats[3]),
                        SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&size, &minSize, &maxSize), 0);
    if (paced)
        spa_pod_builder_add(b, SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&variable), SPA_FORMAT_VIDEO_maxFramerate,
                            SPA_POD_CHOICE_RANGE_Fraction(&most, &variable, &most), 0);
    return static_cast<const spa_pod*>(spa_pod_builder_pop(b, &f));
}

}  // namespace

struct PipeWireStream::Listener {
    spa_hook core{};
    spa_hook stream{};
    pw_core_events coreEvents{};
    pw_stream_events streamEvents{};
};

PipeWireStream::PipeWireStream(int fd, std::uint32_t node) : listener_(std::make_unique<Listener>()), node_(node) {
    if (fd >= 0) fd_ = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    pw_init(nullptr, nullptr);
}

PipeWireStream::~PipeWireStream() {
    if (loop_) {
        pw_thread_loop_lock(loop_);
        if (timer_) pw_loop_destroy_source(pw_thread_loop_get_loop(loop_), timer_);
        if (stream_) {
            spa_hook_remove(&listener_->stream);
            pw_stream_destroy(stream_);
        }
        if (core_) {
            spa_hook_remove(&listener_->core);
            pw_core_disconnect(core_);
        }
        pw_thread_loop_unlock(loop_);
        pw_thread_loop_stop(loop_);
        if (context_) pw_context_destroy(context_);
        pw_thread_loop_destroy(loop_);
    }
    // A remote never handed to PipeWire is still ours to close.
    if (fd_ >= 0) close(fd_);
}

bool PipeWireStream::start() {
    if (loop_) return !ended();
    loop_ = pw_thread_loop_new("ws-screencast", nullptr);
    if (!loop_) return false;
    context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
    if (!context_ || pw_thread_loop_start(loop_) < 0) {
        ended_ = true;
        return false;
    }
    pw_thread_loop_lock(loop_);
    if (fd_ >= 0) {
        core_ = pw_context_connect_fd(context_, fd_, nullptr, 0);
        fd_ = -1;  // PipeWire owns it now, connected or not
    } else {
        core_ = pw_context_connect(context_, nullptr, 0);
    }
    if (!core_) {
        pw_thread_loop_unlock(loop_);
        ended_ = true;
        return false;
    }
    auto& l = *listener_;
    l.coreEvents.version = PW_VERSION_CORE_EVENTS;
    l.coreEvents.error = [](void* self, std::uint32_t id, int, int res, const char*) {
        if (id != PW_ID_CORE || res != -EPIPE) return;
        static_cast<PipeWireStream*>(self)->remoteLost_ = true;
        static_cast<PipeWireStream*>(self)->onEnded();
    };
    pw_core_add_listener(core_, &l.core, &l.coreEvents, this);

    stream_ = pw_stream_new(core_, "wellspire-screen",
                            pw_properties_new(PW_KEY_NODE_NAME, "wellspire-screen", PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                              PW_KEY_MEDIA_ROLE, "Screen", nullptr));
    if (!stream_) {
        pw_thread_loop_unlock(loop_);
        ended_ = true;
        return false;
    }
    l.streamEvents.version = PW_VERSION_STREAM_EVENTS;
    l.streamEvents.state_changed = [](void* self, pw_stream_state, pw_stream_state state, const char*) {
        if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED)
            static_cast<PipeWireStream*>(self)->onEnded();
    };
    l.streamEvents.param_changed = [](void* self, std::uint32_t id, const spa_pod* param) {
        if (id == SPA_PARAM_Format && param) static_cast<PipeWireStream*>(self)->onFormat(param);
    };
    l.streamEvents.process = [](void* self) { static_cast<PipeWireStream*>(self)->onProcess(); };
    l.streamEvents.remove_buffer = [](void* self, pw_buffer* buffer) {
        auto* stream = static_cast<PipeWireStream*>(self);
        if (stream->held_ == buffer) stream->held_ = nullptr;
    };
    pw_stream_add_listener(stream_, &l.stream, &l.streamEvents, this);
    timer_ = pw_loop_add_timer(pw_thread_loop_get_loop(loop_),
                               [](void* self, std::uint64_t) { static_cast<PipeWireStream*>(self)->onTimer(); }, this);

    // The paced format first: PipeWire tries the consumer's formats in order. A producer with a
    // fixed rate matches only the second; the copies are paced here all the same.
    std::uint8_t buffer[2048];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_pod* params[] = {formatParam(&b, true), formatParam(&b, false)};
    const int res = pw_stream_connect(stream_, PW_DIRECTION_INPUT, node_,
                                      static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
                                      params, 2);
    pw_thread_loop_unlock(loop_);
    if (res < 0) {
        ended_ = true;
        return false;
    }
    return true;
}

void PipeWireStream::onFormat(const spa_pod* param) {
    std::uint32_t mediaType = 0, mediaSubtype = 0;
    spa_video_info_raw info{};
    if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video ||
        mediaSubtype != SPA_MEDIA_SUBTYPE_raw || spa_format_video_raw_parse(param, &info) < 0)
        return;
    format_ = info.format;
    width_ = static_cast<int>(info.size.width);
    height_ = static_cast<int>(info.size.height);
    waylandLog("PIPEWIRE stream " + std::to_string(width_) + "x" + std::to_string(height_) + " format " +
               std::to_string(format_) +
               (info.max_framerate.num > 0 && info.max_framerate.denom > 0
                    ? " at most " + std::to_string(info.max_framerate.num) + "/" +
                          std::to_string(info.max_framerate.denom) + " frames a second"
                    : info.framerate.num > 0 && info.framerate.denom > 0
                          ? " at " + std::to_string(info.framerate.num) + "/" + std::to_string(info.framerate.denom) +
                                " frames a second (copied at most 2)"
                          : std::string()));

    // The crop region, where the producer sends a larger buffer than the screen. No modifier was
    // offered, so producers send plain memory (SHM or memfd, mapped by PipeWire), never GPU buffers.
    std::uint8_t buffer[512];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const int stride = width_ * 4;
    const spa_pod* params[] = {
        static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
            SPA_POD_CHOICE_RANGE_Int(4, 2, 16), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1), SPA_PARAM_BUFFERS_size,
            SPA_POD_CHOICE_RANGE_Int(stride * height_, 0, INT32_MAX), SPA_PARAM_BUFFERS_stride,
            SPA_POD_CHOICE_RANGE_Int(stride, 0, INT32_MAX), SPA_PARAM_BUFFERS_dataType,
            SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd)))),
        static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_VideoCrop),
            SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_region))))};
    pw_stream_update_params(stream_, params, 2);
}

void PipeWireStream::onProcess() {
    // Only the newest buffer matters; older ones, the held one among them, go straight back.
    pw_buffer* newest = std::exchange(held_, nullptr);
    while (pw_buffer* next = pw_stream_dequeue_buffer(stream_)) {
        ++offered_;
        if (newest) pw_stream_queue_buffer(stream_, newest);
        newest = next;
    }
    if (!newest) return;
    const auto now = std::chrono::steady_clock::now();
    if (timer_ && copiedOnce_ && now - lastCopy_ < kCopyGap) {
        // Too early: held, unread, until the timer says its turn has come.
        held_ = newest;
        const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(lastCopy_ + kCopyGap - now).count();
        timespec value{static_cast<time_t>(wait / 1000000000), static_cast<long>(wait % 1000000000)};
        if (value.tv_sec == 0 && value.tv_nsec == 0) value.tv_nsec = 1;  // zero would disarm it
        pw_loop_update_timer(pw_thread_loop_get_loop(loop_), timer_, &value, nullptr, false);
        return;
    }
    if (copy(newest)) {
        lastCopy_ = now;
        copiedOnce_ = true;
    }
    pw_stream_queue_buffer(stream_, newest);
}

void PipeWireStream::onTimer() {
    pw_buffer* waiting = std::exchange(held_, nullptr);
    if (!waiting) return;
    if (copy(waiting)) {
        lastCopy_ = std::chrono::steady_clock::now();
        copiedOnce_ = true;
    }
    pw_stream_queue_buffer(stream_, waiting);
}

bool PipeWireStream::copy(const pw_buffer* buffer) {
    const spa_buffer* buf = buffer->buffer;
    const spa_data* d = buf->n_datas > 0 ? &buf->datas[0] : nullptr;
    const bool usable = d && (d->type == SPA_DATA_MemPtr || d->type == SPA_DATA_MemFd) && d->data && d->chunk &&
                        d->chunk->size > 0 &&
                        !(d->chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) && width_ > 0 && height_ > 0 &&
                        std::find(std::begin(kFormats), std::end(kFormats), format_) != std::end(kFormats);
    if (!usable) return false;
    int x = 0, y = 0, w = width_, h = height_;
    if (auto* crop = static_cast<const spa_meta_region*>(
            spa_buffer_find_meta_data(buf, SPA_META_VideoCrop, sizeof(spa_meta_region)));
        crop && crop->region.size.width > 0 && crop->region.size.height > 0) {
        x = std::clamp(crop->region.position.x, 0, width_ - 1);
        y = std::clamp(crop->region.position.y, 0, height_ - 1);
        w = std::min(static_cast<int>(crop->region.size.width), width_ - x);
        h = std::min(static_cast<int>(crop->region.size.height), height_ - y);
    }
    const std::size_t stride = d->chunk->stride > 0 ? static_cast<std::size_t>(d->chunk->stride)
                                                    : static_cast<std::size_t>(width_) * 4;
    const std::size_t offset = d->chunk->offset % std::max<std::uint32_t>(d->maxsize, 1);
    const std::size_t row = static_cast<std::size_t>(w) * 4;
    const std::size_t needed = offset + static_cast<std::size_t>(y + h - 1) * stride + static_cast<std::size_t>(x) * 4 + row;
    // A buffer smaller than its own description is skipped, never read past.
    if (stride < static_cast<std::size_t>(width_) * 4 || needed > d->maxsize) return false;
    const auto* base = static_cast<const std::uint8_t*>(d->data) + offset;
    // The buffer swapped out last time is reused unless a reader still converts it.
    if (!spare_ || spare_.use_count() > 1) spare_ = std::make_shared<std::vector<std::uint8_t>>();
    std::vector<std::uint8_t>& copy = *spare_;
    copy.resize(row * static_cast<std::size_t>(h));
    for (int r = 0; r < h; ++r)
        std::memcpy(copy.data() + row * static_cast<std::size_t>(r),
                    base + static_cast<std::size_t>(y + r) * stride + static_cast<std::size_t>(x) * 4, row);
    {
        std::lock_guard lock(mutex_);
        std::shared_ptr<const std::vector<std::uint8_t>> latest = std::move(spare_);
        spare_ = std::const_pointer_cast<std::vector<std::uint8_t>>(std::move(raw_));
        raw_ = std::move(latest);
        rawWidth_ = w;
        rawHeight_ = h;
        rawBgr_ = blueFirst(format_);
        ++rawSequence_;
    }
    ++frames_;
    return true;
}

void PipeWireStream::onEnded() {
    if (!ended_.exchange(true)) waylandLog("PIPEWIRE stream ended (the producer or PipeWire went away)");
}

std::shared_ptr<const platform::Image> PipeWireStream::latest() const {
    std::shared_ptr<const std::vector<std::uint8_t>> raw;
    int width = 0, height = 0;
    bool bgr = false;
    std::uint64_t sequence = 0;
    {
        std::lock_guard lock(mutex_);
        if (rawSequence_ == 0) return nullptr;
        if (converted_ && convertedSequence_ == rawSequence_) return converted_;
        raw = raw_;
        width = rawWidth_;
        height = rawHeight_;
        bgr = rawBgr_;
        sequence = rawSequence_;
    }
    auto image = std::make_shared<platform::Image>();
    image->width = width;
    image->height = height;
    image->rgba.resize(raw->size());
    const std::uint8_t* s = raw->data();
    std::uint8_t* t = image->rgba.data();
    const int r = bgr ? 2 : 0, b = bgr ? 0 : 2;
    for (std::size_t i = 0; i < raw->size(); i += 4) {
        t[i] = s[i + r];
        t[i + 1] = s[i + 1];
        t[i + 2] = s[i + b];
        t[i + 3] = 255;
    }
    std::lock_guard lock(mutex_);
    if (sequence > convertedSequence_) {
        converted_ = image;
        convertedSequence_ = sequence;
    }
    return image;
}

}  // namespace linuxplatform
