#include "platform/linux/wayland/WlrScreencopyClient.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>

#include "platform/linux/wayland/FrameConversion.h"
#include "wlr-screencopy-unstable-v1-client-protocol.h"
#include "xdg-output-unstable-v1-client-protocol.h"

namespace linuxplatform {
namespace {

// Long enough for a busy compositor to paint a frame, short enough that a hung one costs one cycle.
constexpr int kTimeoutMs = 5000;
// Larger than any real output; guards the shared-memory size against a nonsensical buffer event.
constexpr std::uint32_t kLargestSide = 32768;

struct Output {
    std::uint32_t name = 0;
    std::uint32_t version = 0;
    wl_output* output = nullptr;
    zxdg_output_v1* xdg = nullptr;
    std::int32_t x = 0, y = 0, transform = WL_OUTPUT_TRANSFORM_NORMAL;
    std::int32_t modeWidth = 0, modeHeight = 0, scale = 1;
    std::optional<std::pair<std::int32_t, std::int32_t>> logicalPosition, logicalSize;

    DesktopRect logical() const {
        if (logicalPosition && logicalSize)
            return {logicalPosition->first, logicalPosition->second, logicalSize->first, logicalSize->second};
        // Without xdg-output: the mode at the output's integer scale, turned as the output is.
        const int s = std::max(1, scale);
        int w = modeWidth / s, h = modeHeight / s;
        if (transform & 1) std::swap(w, h);
        return {x, y, w, h};
    }

    ~Output() {
        if (xdg) zxdg_output_v1_destroy(xdg);
        if (output) {
            if (version >= WL_OUTPUT_RELEASE_SINCE_VERSION) wl_output_release(output);
            else wl_output_destroy(output);
        }
    }
};

void outputGeometry(void* data, wl_output*, std::int32_t x, std::int32_t y, std::int32_t, std::int32_t, std::int32_t,
                    const char*, const char*, std::int32_t transform) {
    auto* o = static_cast<Output*>(data);
    o->x = x;
    o->y = y;
    o->transform = transform;
}
void outputMode(void* data, wl_output*, std::uint32_t flags, std::int32_t width, std::int32_t height, std::int32_t) {
    if (!(flags & WL_OUTPUT_MODE_CURRENT)) return;
    auto* o = static_cast<Output*>(data);
    o->modeWidth = width;
    o->modeHeight = height;
}
void outputDone(void*, wl_output*) {}
void outputScale(void* data, wl_output*, std::int32_t factor) { static_cast<Output*>(data)->scale = factor; }
void outputName(void*, wl_output*, const char*) {}
void outputDescription(void*, wl_output*, const char*) {}
const wl_output_listener kOutputListener{outputGeometry, outputMode, outputDone, outputScale, outputName,
                                         outputDescription};

void xdgPosition(void* data, zxdg_output_v1*, std::int32_t x, std::int32_t y) {
    static_cast<Output*>(data)->logicalPosition = {x, y};
}
void xdgSize(void* data, zxdg_output_v1*, std::int32_t width, std::int32_t height) {
    static_cast<Output*>(data)->logicalSize = {width, height};
}
void xdgDone(void*, zxdg_output_v1*) {}
void xdgName(void*, zxdg_output_v1*, const char*) {}
void xdgDescription(void*, zxdg_output_v1*, const char*) {}
const zxdg_output_v1_listener kXdgOutputListener{xdgPosition, xdgSize, xdgDone, xdgName, xdgDescription};

struct FrameState {
    bool offered = false, ready = false, failed = false;
    std::uint32_t format = 0, width = 0, height = 0, stride = 0, flags = 0;
};

void frameBuffer(void* data, zwlr_screencopy_frame_v1*, std::uint32_t format, std::uint32_t width, std::uint32_t height,
                 std::uint32_t stride) {
    auto* f = static_cast<FrameState*>(data);
    f->offered = true;
    f->format = format;
    f->width = width;
    f->height = height;
    f->stride = stride;
}
void frameFlags(void* data, zwlr_screencopy_frame_v1*, std::uint32_t flags) { static_cast<FrameState*>(data)->flags = flags; }
void frameReady(void* data, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t, std::uint32_t) {
    static_cast<FrameState*>(data)->ready = true;
}
void frameFailed(void* data, zwlr_screencopy_frame_v1*) { static_cast<FrameState*>(data)->failed = true; }
const zwlr_screencopy_frame_v1_listener kFrameListener{frameBuffer, frameFlags, frameReady, frameFailed};

void callbackDone(void* data, wl_callback*, std::uint32_t) { *static_cast<bool*>(data) = true; }
const wl_callback_listener kCallbackListener{callbackDone};

// Shared memory the compositor copies a frame into.
struct ShmBuffer {
    int fd = -1;
    void* memory = MAP_FAILED;
    std::size_t size = 0;
    wl_shm_pool* pool = nullptr;
    wl_buffer* buffer = nullptr;

    bool create(wl_shm* shm, const FrameState& f) {
        size = static_cast<std::size_t>(f.stride) * f.height;
        fd = memfd_create("wellspire-frame", MFD_CLOEXEC);
        if (fd < 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) return false;
        memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (memory == MAP_FAILED) return false;
        pool = wl_shm_create_pool(shm, fd, static_cast<std::int32_t>(size));
        buffer = wl_shm_pool_create_buffer(pool, 0, static_cast<std::int32_t>(f.width), static_cast<std::int32_t>(f.height),
                                           static_cast<std::int32_t>(f.stride), f.format);
        return buffer != nullptr;
    }
    std::span<const std::uint8_t> bytes() const { return {static_cast<const std::uint8_t*>(memory), size}; }

    ~ShmBuffer() {
        if (buffer) wl_buffer_destroy(buffer);
        if (pool) wl_shm_pool_destroy(pool);
        if (memory != MAP_FAILED) munmap(memory, size);
        if (fd >= 0) close(fd);
    }
};

}  // namespace

struct WlrScreencopyClient::Impl {
    std::string displayName;
    wl_display* display = nullptr;
    wl_registry* registry = nullptr;
    wl_shm* shm = nullptr;
    zwlr_screencopy_manager_v1* manager = nullptr;
    std::uint32_t managerName = 0;
    zxdg_output_manager_v1* xdgManager = nullptr;
    std::vector<std::unique_ptr<Output>> outputs;
    std::atomic<bool> usable{false};

    static void onGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
                         std::uint32_t version) {
        auto* self = static_cast<Impl*>(data);
        if (std::strcmp(interface, wl_shm_interface.name) == 0 && !self->shm) {
            self->shm = static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
        } else if (std::strcmp(interface, zwlr_screencopy_manager_v1_interface.name) == 0 && !self->manager) {
            self->manager = static_cast<zwlr_screencopy_manager_v1*>(
                wl_registry_bind(registry, name, &zwlr_screencopy_manager_v1_interface, 1));
            self->managerName = name;
        } else if (std::strcmp(interface, zxdg_output_manager_v1_interface.name) == 0 && !self->xdgManager) {
            self->xdgManager = static_cast<zxdg_output_manager_v1*>(
                wl_registry_bind(registry, name, &zxdg_output_manager_v1_interface, std::min(version, 2u)));
        } else if (std::strcmp(interface, wl_output_interface.name) == 0) {
            auto out = std::make_unique<Output>();
            out->name = name;
            out->version = std::min(version, 3u);
            out->output = static_cast<wl_output*>(wl_registry_bind(registry, name, &wl_output_interface, out->version));
            wl_output_add_listener(out->output, &kOutputListener, out.get());
            self->outputs.push_back(std::move(out));
        }
    }

    static void onGlobalRemove(void* data, wl_registry*, std::uint32_t name) {
        auto* self = static_cast<Impl*>(data);
        std::erase_if(self->outputs, [name](const auto& o) { return o->name == name; });
        if (self->manager && name == self->managerName) {
            zwlr_screencopy_manager_v1_destroy(self->manager);
            self->manager = nullptr;
            self->usable = false;
        }
    }

    static constexpr wl_registry_listener kRegistryListener{onGlobal, onGlobalRemove};

    void disconnect() {
        outputs.clear();
        if (manager) zwlr_screencopy_manager_v1_destroy(manager);
        if (xdgManager) zxdg_output_manager_v1_destroy(xdgManager);
        if (shm) wl_shm_destroy(shm);
        if (registry) wl_registry_destroy(registry);
        if (display) wl_display_disconnect(display);
        manager = nullptr;
        xdgManager = nullptr;
        shm = nullptr;
        registry = nullptr;
        display = nullptr;
    }

    // Dispatches the connection's events until `done` holds; false on a timeout or a broken connection.
    bool dispatchUntil(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kTimeoutMs);
        for (;;) {
            if (wl_display_dispatch_pending(display) < 0) return false;
            if (done()) return true;
            while (wl_display_prepare_read(display) != 0)
                if (wl_display_dispatch_pending(display) < 0) return false;
            if (done()) {
                wl_display_cancel_read(display);
                return true;
            }
            if (wl_display_flush(display) < 0 && errno != EAGAIN) {
                wl_display_cancel_read(display);
                return false;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                wl_display_cancel_read(display);
                return false;
            }
            pollfd pfd{wl_display_get_fd(display), POLLIN, 0};
            const int ready = poll(&pfd, 1, static_cast<int>(left.count()));
            if (ready <= 0) {
                wl_display_cancel_read(display);
                if (ready < 0 && errno == EINTR) continue;
                return false;
            }
            if (wl_display_read_events(display) < 0) return false;
        }
    }

    bool roundtrip() {
        bool done = false;
        wl_callback* callback = wl_display_sync(display);
        wl_callback_add_listener(callback, &kCallbackListener, &done);
        const bool ok = dispatchUntil([&done] { return done; });
        wl_callback_destroy(callback);
        return ok;
    }

    void watchLogicalPlaces() {
        if (!xdgManager) return;
        for (auto& out : outputs) {
            if (out->xdg) continue;
            out->xdg = zxdg_output_manager_v1_get_xdg_output(xdgManager, out->output);
            zxdg_output_v1_add_listener(out->xdg, &kXdgOutputListener, out.get());
        }
    }

    // Connects when not connected (again after a broken connection); the reason when it cannot.
    std::optional<std::string> ensure() {
        if (display && wl_display_get_error(display) != 0) disconnect();
        if (display) return std::nullopt;
        display = wl_display_connect(displayName.empty() ? nullptr : displayName.c_str());
        if (!display) {
            usable = false;
            return "cannot connect to the Wayland compositor";
        }
        registry = wl_display_get_registry(display);
        wl_registry_add_listener(registry, &kRegistryListener, this);
        if (!roundtrip()) {
            disconnect();
            usable = false;
            return "the Wayland compositor does not answer";
        }
        // The outputs are known on any compositor; capturing needs the protocol.
        usable = manager && shm;
        return std::nullopt;
    }

    // A roundtrip that also brings new outputs' places in.
    std::optional<std::string> refresh() {
        if (auto error = ensure()) return error;
        if (!roundtrip()) {
            disconnect();
            return "the Wayland compositor does not answer";
        }
        watchLogicalPlaces();
        if (xdgManager && !roundtrip()) {
            disconnect();
            return "the Wayland compositor does not answer";
        }
        usable = manager && shm;
        return std::nullopt;
    }
};

WlrScreencopyClient::WlrScreencopyClient(std::string display) : impl_(std::make_unique<Impl>()) {
    impl_->displayName = std::move(display);
}

WlrScreencopyClient::~WlrScreencopyClient() { impl_->disconnect(); }

bool WlrScreencopyClient::usable() const { return impl_->usable; }

std::optional<std::string> WlrScreencopyClient::refusal() const {
    if (!impl_->display || impl_->usable) return std::nullopt;
    return std::string(impl_->shm ? "the compositor offers no wlr-screencopy" : "the compositor offers no shared memory");
}

WlrScreencopyClient::Outputs WlrScreencopyClient::outputs() {
    if (auto error = impl_->refresh()) return *error;
    std::vector<WaylandOutput> out;
    for (const auto& o : impl_->outputs) {
        const DesktopRect logical = o->logical();
        if (logical.width > 0 && logical.height > 0) out.push_back({o->name, logical});
    }
    return out;
}

WlrScreencopyClient::Frame WlrScreencopyClient::capture(std::uint32_t outputName, std::optional<DesktopRect> region) {
    if (auto error = impl_->ensure()) return *error;
    if (!impl_->manager || !impl_->shm) return std::string("the compositor offers no wlr-screencopy");
    auto found = std::find_if(impl_->outputs.begin(), impl_->outputs.end(),
                              [outputName](const auto& o) { return o->name == outputName; });
    if (found == impl_->outputs.end()) return std::string("the display is no longer connected");
    if (region && (region->width <= 0 || region->height <= 0)) return std::string("the area to capture is empty");

    FrameState state;
    zwlr_screencopy_frame_v1* frame =
        region ? zwlr_screencopy_manager_v1_capture_output_region(impl_->manager, 0, (*found)->output, region->x,
                                                                   region->y, region->width, region->height)
               : zwlr_screencopy_manager_v1_capture_output(impl_->manager, 0, (*found)->output);
    zwlr_screencopy_frame_v1_add_listener(frame, &kFrameListener, &state);
    struct FrameGuard {
        zwlr_screencopy_frame_v1* frame;
        ~FrameGuard() { zwlr_screencopy_frame_v1_destroy(frame); }
    } guard{frame};

    if (!impl_->dispatchUntil([&state] { return state.offered || state.failed; }))
        return std::string("the compositor did not offer a frame in time");
    if (state.failed) return std::string("the compositor refused the capture");
    if (state.width == 0 || state.height == 0 || state.width > kLargestSide || state.height > kLargestSide ||
        state.stride < state.width * 4 || state.stride > state.width * 16)
        return std::string("the compositor offered an unusable frame");

    ShmBuffer shm;
    if (!shm.create(impl_->shm, state)) return std::string("no shared memory for the frame");
    zwlr_screencopy_frame_v1_copy(frame, shm.buffer);
    if (!impl_->dispatchUntil([&state] { return state.ready || state.failed; }))
        return std::string("the compositor did not copy the frame in time");
    if (state.failed) return std::string("the compositor could not copy the frame");

    auto image = FrameConversion::fromShm(shm.bytes(), static_cast<int>(state.width), static_cast<int>(state.height),
                                          static_cast<int>(state.stride), state.format,
                                          state.flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT);
    if (!image) return "the frame's pixel format is not supported (" + std::to_string(state.format) + ")";
    // The copy keeps the buffer's orientation; a turned output shows it turned.
    return FrameConversion::turned(std::move(*image), (*found)->transform);
}

}  // namespace linuxplatform
