#include "platform/linux/x11/X11ScreenCapture.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xcomposite.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <mutex>
#include <set>

#include "platform/linux/common/ScaledFrameCache.h"
#include "platform/linux/x11/X11Connection.h"
#include "platform/linux/x11/X11DamageWatch.h"

namespace linuxplatform {

namespace {

struct Box {
    int x = 0, y = 0, width = 0, height = 0;
    bool empty() const { return width <= 0 || height <= 0; }
};

Box intersect(const Box& a, const Box& b) {
    const int x0 = std::max(a.x, b.x), y0 = std::max(a.y, b.y);
    const int x1 = std::min(a.x + a.width, b.x + b.width), y1 = std::min(a.y + a.height, b.y + b.height);
    return {x0, y0, x1 - x0, y1 - y0};
}

struct Channel {
    unsigned long mask = 0;
    int shift = 0;
    int bits = 0;
    std::uint8_t of(unsigned long pixel) const {
        if (bits == 0) return 0;
        const unsigned long v = (pixel & mask) >> shift;
        if (bits >= 8) return static_cast<std::uint8_t>(v >> (bits - 8));
        return static_cast<std::uint8_t>((v * 255) / ((1ul << bits) - 1));
    }
};

Channel channel(unsigned long mask) {
    Channel c;
    c.mask = mask;
    if (mask == 0) return c;
    c.shift = std::countr_zero(mask);
    c.bits = std::popcount(mask);
    return c;
}

// An XImage in the given visual as RGBA, opaque.
void copyImage(XImage* image, const Visual* visual, platform::Image& into, int atX, int atY) {
    const unsigned long rm = visual && visual->red_mask ? visual->red_mask : image->red_mask;
    const unsigned long gm = visual && visual->green_mask ? visual->green_mask : image->green_mask;
    const unsigned long bm = visual && visual->blue_mask ? visual->blue_mask : image->blue_mask;
    const Channel r = channel(rm), g = channel(gm), b = channel(bm);
    const bool direct = image->bits_per_pixel == 32 && image->byte_order == LSBFirst &&
                        std::endian::native == std::endian::little;
    for (int y = 0; y < image->height; ++y) {
        const int ty = atY + y;
        if (ty < 0 || ty >= into.height) continue;
        const auto* row = reinterpret_cast<const std::uint32_t*>(image->data + static_cast<std::size_t>(y) * image->bytes_per_line);
        for (int x = 0; x < image->width; ++x) {
            const int tx = atX + x;
            if (tx < 0 || tx >= into.width) continue;
            const unsigned long pixel = direct ? row[x] : XGetPixel(image, x, y);
            std::uint8_t* p = into.rgba.data() + (static_cast<std::size_t>(ty) * into.width + tx) * 4;
            p[0] = r.of(pixel);
            p[1] = g.of(pixel);
            p[2] = b.of(pixel);
            p[3] = 255;
        }
    }
}

platform::Image blank(int width, int height) {
    platform::Image image;
    image.width = width;
    image.height = height;
    image.rgba.assign(static_cast<std::size_t>(width) * height * 4, 0);
    for (std::size_t i = 3; i < image.rgba.size(); i += 4) image.rgba[i] = 255;
    return image;
}

bool hasProperty(Display* display, Window window, Atom property) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    x11::ErrorTrap trap(display);
    const int status =
        XGetWindowProperty(display, window, property, 0, 0, False, AnyPropertyType, &type, &format, &count, &after, &data);
    if (data) XFree(data);
    return !trap.failed() && status == Success && type != None;
}

// The client inside a top-level window: the window itself or the first descendant with WM_STATE.
std::optional<Window> clientOf(Display* display, Window window, Atom wmState, int depth = 0) {
    if (hasProperty(display, window, wmState)) return window;
    if (depth >= 3) return std::nullopt;
    Window root = None, parent = None;
    Window* children = nullptr;
    unsigned int n = 0;
    x11::ErrorTrap trap(display);
    if (!XQueryTree(display, window, &root, &parent, &children, &n) || trap.failed()) {
        if (children) XFree(children);
        return std::nullopt;
    }
    std::optional<Window> found;
    for (unsigned int i = n; i-- > 0 && !found;) found = clientOf(display, children[i], wmState, depth + 1);
    if (children) XFree(children);
    return found;
}

std::vector<Window> rootChildren(Display* display) {
    Window root = None, parent = None;
    Window* children = nullptr;
    unsigned int n = 0;
    std::vector<Window> out;
    x11::ErrorTrap trap(display);
    if (XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &n) && !trap.failed())
        out.assign(children, children + n);
    if (children) XFree(children);
    return out;  // bottom to top
}

}  // namespace

struct X11ScreenCapture::Impl {
    // A window still drawing is waited for until it has been still this long, at most `settleLimit`.
    static constexpr std::chrono::milliseconds settleQuiet{100};
    static constexpr std::chrono::milliseconds settleLimit{600};

    std::mutex mutex;
    Display* display = nullptr;
    std::atomic<bool> opened = false;
    std::atomic<bool> composite = false;
    ScaledFrameCache frames;
    X11DamageWatch damage;
    // What the last frame was made of: the request, and each window read with its place.
    std::vector<long> lastFrame;
    // The last window read, as read, so that only what it draws later is read again.
    platform::Image lastWindow;

    // Opens the connection on first use (and again after a failed attempt).
    bool ensure() {
        if (display) return true;
        display = x11::openDisplay();
        if (!display) return false;
        int event = 0, error = 0, major = 0, minor = 2;
        if (XCompositeQueryExtension(display, &event, &error) && XCompositeQueryVersion(display, &major, &minor) &&
            (major > 0 || minor >= 2)) {
            x11::ErrorTrap trap(display);
            XCompositeRedirectSubwindows(display, DefaultRootWindow(display), CompositeRedirectAutomatic);
            composite = !trap.failed();
        }
        // Without windows of their own there is nothing to tell which of them drew.
        if (composite) damage.start(display);
        opened = true;
        return true;
    }

    // The last frame again when it is made of the same windows in the same places and none of them
    // drew since; otherwise waits for those windows to come to rest and marks them read, and the
    // caller reads them.
    std::shared_ptr<const platform::Image> unchanged(std::vector<long> frame, const std::vector<Window>& windows,
                                                     int width, int height) {
        if (!damage.available()) return nullptr;
        damage.collect();
        if (frame == lastFrame && !damage.drew(windows))
            if (auto again = frames.again(width, height)) return again;
        lastFrame.clear();
        damage.settle(windows, settleQuiet, settleLimit);
        lastFrame = std::move(frame);
        return nullptr;
    }

    Box rootBox() const {
        return {0, 0, DisplayWidth(display, DefaultScreen(display)), DisplayHeight(display, DefaultScreen(display))};
    }

    std::vector<std::pair<std::uint64_t, Box>> monitors() {
        std::vector<std::pair<std::uint64_t, Box>> out;
        int event = 0, error = 0;
        if (XRRQueryExtension(display, &event, &error)) {
            int n = 0;
            x11::ErrorTrap trap(display);
            XRRMonitorInfo* info = XRRGetMonitors(display, DefaultRootWindow(display), True, &n);
            if (info && !trap.failed()) {
                for (int i = 0; i < n; ++i) {
                    const Box box{info[i].x, info[i].y, info[i].width, info[i].height};
                    if (box.empty()) continue;
                    auto entry = std::pair<std::uint64_t, Box>{static_cast<std::uint64_t>(info[i].name), box};
                    if (info[i].primary) out.insert(out.begin(), entry);
                    else out.push_back(entry);
                }
            }
            if (info) XRRFreeMonitors(info);
        }
        if (out.empty()) out.emplace_back(static_cast<std::uint64_t>(DefaultRootWindow(display)), rootBox());
        return out;
    }

    // Client windows, topmost first.
    std::vector<Window> clients() {
        const Window root = DefaultRootWindow(display);
        if (auto stacking = x11::cardinals(display, root, x11::atom(display, "_NET_CLIENT_LIST_STACKING"), XA_WINDOW);
            stacking && !stacking->empty())
            return {stacking->rbegin(), stacking->rend()};
        const Atom wmState = x11::atom(display, "WM_STATE");
        std::vector<Window> out;
        const auto tops = rootChildren(display);
        for (auto it = tops.rbegin(); it != tops.rend(); ++it)
            if (auto client = clientOf(display, *it, wmState)) out.push_back(*client);
        return out;
    }

    bool isDesktop(Window window) {
        const Atom desktop = x11::atom(display, "_NET_WM_WINDOW_TYPE_DESKTOP");
        auto types = x11::cardinals(display, window, x11::atom(display, "_NET_WM_WINDOW_TYPE"), XA_ATOM);
        return types && std::find(types->begin(), types->end(), desktop) != types->end();
    }

    platform::ContentResult content() {
        if (!ensure()) return platform::CaptureError{"cannot open the X display"};
        platform::ShareableContent content;
        const Window root = DefaultRootWindow(display);
        const Box screen = rootBox();
        for (Window w : clients()) {
            XWindowAttributes attrs{};
            x11::ErrorTrap trap(display);
            if (!XGetWindowAttributes(display, w, &attrs) || trap.failed()) continue;
            if (attrs.c_class == InputOnly || attrs.map_state != IsViewable || isDesktop(w)) continue;
            int rx = 0, ry = 0;
            Window child = None;
            if (!XTranslateCoordinates(display, w, root, 0, 0, &rx, &ry, &child) || trap.failed()) continue;
            platform::ShareableWindow window;
            window.id = static_cast<std::uint64_t>(w);
            window.ownerPid = x11::windowPid(display, w);
            window.title = x11::text(display, w, "_NET_WM_NAME").value_or(x11::text(display, w, "WM_NAME").value_or(""));
            const auto cls = x11::windowClass(display, w);
            window.appClass = cls.className.value_or(cls.instance.value_or(""));
            const Box box{rx, ry, attrs.width, attrs.height};
            window.onScreen = !intersect(box, screen).empty();
            // Points with y growing upward from the bottom of the screen.
            window.frame = {static_cast<double>(rx), static_cast<double>(screen.height - (ry + attrs.height)),
                            static_cast<double>(attrs.width), static_cast<double>(attrs.height)};
            content.windows.push_back(window);
        }
        for (const auto& [id, box] : monitors()) content.displays.push_back({id, box.width, box.height});
        return content;
    }

    // The content of one drawable area as an image; nothing on failure.
    std::optional<platform::Image> grab(Drawable drawable, const Visual* visual, const Box& area) {
        x11::ErrorTrap trap(display);
        XImage* image = XGetImage(display, drawable, area.x, area.y, static_cast<unsigned>(area.width),
                                  static_cast<unsigned>(area.height), AllPlanes, ZPixmap);
        if (!image || trap.failed()) {
            if (image) XDestroyImage(image);
            return std::nullopt;
        }
        platform::Image out = blank(area.width, area.height);
        copyImage(image, visual, out, 0, 0);
        XDestroyImage(image);
        return out;
    }

    // A top-level window's own pixmap (border included) in the area given relative to its outer corner.
    std::optional<platform::Image> grabTopLevel(Window top, const XWindowAttributes& attrs, const Box& area) {
        if (composite) {
            x11::ErrorTrap trap(display);
            const Pixmap pixmap = XCompositeNameWindowPixmap(display, top);
            if (!trap.failed() && pixmap != None) {
                auto image = grab(pixmap, attrs.visual, area);
                XFreePixmap(display, pixmap);
                if (image) return image;
            }
        }
        // Without a pixmap the window's visible content is the best there is.
        const int bw = attrs.border_width;
        return grab(top, attrs.visual, {area.x - bw, area.y - bw, area.width, area.height});
    }

    platform::CaptureResult window(std::uint64_t id, int width, int height) {
        if (!ensure()) return platform::CaptureError{"cannot open the X display"};
        const Window client = static_cast<Window>(id);
        XWindowAttributes attrs{};
        {
            x11::ErrorTrap trap(display);
            if (!XGetWindowAttributes(display, client, &attrs) || trap.failed())
                return platform::CaptureError{"the window no longer exists"};
        }
        if (attrs.map_state != IsViewable) return platform::CaptureError{"the window is not on screen"};
        const auto top = x11::topLevelAncestor(display, client);
        if (!top) return platform::CaptureError{"the window no longer exists"};
        XWindowAttributes topAttrs{};
        int ox = 0, oy = 0;
        {
            x11::ErrorTrap trap(display);
            Window child = None;
            if (!XGetWindowAttributes(display, *top, &topAttrs) ||
                !XTranslateCoordinates(display, client, *top, 0, 0, &ox, &oy, &child) || trap.failed())
                return platform::CaptureError{"the window no longer exists"};
        }
        // The client's area inside the top-level pixmap, which starts at the outer border corner.
        const int bw = topAttrs.border_width;
        Box area = intersect({ox + bw, oy + bw, attrs.width, attrs.height},
                             {0, 0, topAttrs.width + 2 * bw, topAttrs.height + 2 * bw});
        if (area.empty()) return platform::CaptureError{"the window has no visible area"};
        std::vector<long> frame{0, static_cast<long>(id), width, height, static_cast<long>(*top), area.x, area.y,
                                area.width, area.height, topAttrs.width, topAttrs.height, bw};
        const bool sameWindow = frame == lastFrame && lastWindow.width == area.width && lastWindow.height == area.height;
        if (auto again = unchanged(std::move(frame), {*top}, width, height)) return again;
        // Of the same window in the same place, only the part that drew is read again.
        if (const auto drawn = damage.available() ? damage.takeDrawn(*top) : std::nullopt; sameWindow && drawn) {
            const Box part = intersect({drawn->x + bw, drawn->y + bw, drawn->width, drawn->height}, area);
            if (part.empty()) return frames.scaled(lastWindow, width, height);
            if (auto image = grabTopLevel(*top, topAttrs, part)) {
                for (int y = 0; y < image->height; ++y)
                    std::copy_n(image->rgba.data() + static_cast<std::size_t>(y) * image->width * 4,
                                static_cast<std::size_t>(image->width) * 4,
                                lastWindow.rgba.data() +
                                    (static_cast<std::size_t>(part.y - area.y + y) * lastWindow.width + (part.x - area.x)) * 4);
                return frames.scaled(lastWindow, width, height);
            }
        }
        auto image = grabTopLevel(*top, topAttrs, area);
        if (!image) {
            lastFrame.clear();
            return platform::CaptureError{"the window's content could not be read"};
        }
        lastWindow = std::move(*image);
        return frames.scaled(lastWindow, width, height);
    }

    platform::CaptureResult screen(std::uint64_t id, const std::vector<platform::ShareableWindow>& excluding, int width,
                                   int height) {
        if (!ensure()) return platform::CaptureError{"cannot open the X display"};
        std::optional<Box> bounds;
        for (const auto& [monitorId, box] : monitors())
            if (monitorId == id) bounds = box;
        if (!bounds) return platform::CaptureError{"the display is no longer connected"};

        std::set<Window> left;
        for (const auto& w : excluding) {
            left.insert(static_cast<Window>(w.id));
            if (auto top = x11::topLevelAncestor(display, static_cast<Window>(w.id))) left.insert(*top);
        }
        struct Drawn {
            Window top;
            XWindowAttributes attrs;
            Box outer, visible;
        };
        std::vector<Drawn> drawn;
        std::vector<long> frame{1, static_cast<long>(id), width, height, bounds->x, bounds->y, bounds->width, bounds->height};
        std::vector<Window> windows;
        for (Window top : rootChildren(display)) {
            if (left.count(top)) continue;
            XWindowAttributes attrs{};
            {
                x11::ErrorTrap trap(display);
                if (!XGetWindowAttributes(display, top, &attrs) || trap.failed()) continue;
            }
            if (attrs.c_class == InputOnly || attrs.map_state != IsViewable) continue;
            const int bw = attrs.border_width;
            const Box outer{attrs.x, attrs.y, attrs.width + 2 * bw, attrs.height + 2 * bw};
            const Box visible = intersect(outer, *bounds);
            if (visible.empty()) continue;
            drawn.push_back({top, attrs, outer, visible});
            windows.push_back(top);
            frame.insert(frame.end(), {static_cast<long>(top), outer.x, outer.y, outer.width, outer.height});
        }
        if (auto again = unchanged(std::move(frame), windows, width, height)) return again;
        for (Window w : windows) damage.takeDrawn(w);
        lastWindow = {};
        platform::Image canvas = blank(bounds->width, bounds->height);
        for (const Drawn& d : drawn) {
            const Box& outer = d.outer;
            const Box& visible = d.visible;
            // A window that vanished meanwhile simply is not drawn.
            auto image = grabTopLevel(d.top, d.attrs, {visible.x - outer.x, visible.y - outer.y, visible.width, visible.height});
            if (!image) {
                lastFrame.clear();
                continue;
            }
            const int dx = visible.x - bounds->x, dy = visible.y - bounds->y;
            for (int y = 0; y < image->height; ++y)
                std::copy_n(image->rgba.data() + static_cast<std::size_t>(y) * image->width * 4,
                            static_cast<std::size_t>(image->width) * 4,
                            canvas.rgba.data() + (static_cast<std::size_t>(dy + y) * canvas.width + dx) * 4);
        }
        return frames.scaled(canvas, width, height);
    }
};

X11ScreenCapture::X11ScreenCapture() : impl_(std::make_unique<Impl>()) {}

X11ScreenCapture::~X11ScreenCapture() {
    std::lock_guard lock(impl_->mutex);
    if (impl_->display) XCloseDisplay(impl_->display);
}

bool X11ScreenCapture::preflight() {
    // Asked on the main thread: once the connection is open, the answer never waits for a capture.
    if (impl_->opened) return impl_->composite;
    std::lock_guard lock(impl_->mutex);
    return impl_->ensure() && impl_->composite;
}

void X11ScreenCapture::shareableContent(std::function<void(platform::ContentResult)> completion) {
    platform::ContentResult result = platform::CaptureError{"no result"};
    {
        std::lock_guard lock(impl_->mutex);
        result = impl_->content();
    }
    completion(std::move(result));
}

void X11ScreenCapture::captureWindow(const platform::ShareableWindow& window, int pixelWidth, int pixelHeight,
                                     std::function<void(platform::CaptureResult)> completion) {
    platform::CaptureResult result = platform::CaptureError{"no result"};
    if (pixelWidth <= 0 || pixelHeight <= 0) {
        result = platform::CaptureError{"the requested size is empty"};
    } else {
        std::lock_guard lock(impl_->mutex);
        result = impl_->window(window.id, pixelWidth, pixelHeight);
    }
    completion(std::move(result));
}

void X11ScreenCapture::captureDisplay(const platform::ShareableDisplay& display,
                                      const std::vector<platform::ShareableWindow>& excluding, int pixelWidth,
                                      int pixelHeight, std::function<void(platform::CaptureResult)> completion) {
    platform::CaptureResult result = platform::CaptureError{"no result"};
    if (pixelWidth <= 0 || pixelHeight <= 0) {
        result = platform::CaptureError{"the requested size is empty"};
    } else {
        std::lock_guard lock(impl_->mutex);
        result = impl_->screen(display.id, excluding, pixelWidth, pixelHeight);
    }
    completion(std::move(result));
}

}  // namespace linuxplatform
