// The real signal sources on the private X display: AT-SPI focus and text, the X11 workspace,
// X11 screen capture and Tesseract, driven with GTK probe windows and xdotool.
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <sstream>

#include <gtest/gtest.h>

#include "desktop/DesktopHarness.h"
#include "desktop/SignalProbe.h"
#include "platform/Platform.h"
#include "platform/linux/atspi/AtspiAccessibility.h"
#include "platform/linux/common/ImageScaling.h"
#include "platform/linux/common/PosixFacilities.h"
#include "platform/linux/recognition/IncrementalRecognizer.h"
#include "platform/linux/recognition/TesseractRecognizer.h"
#include "platform/linux/x11/X11ScreenCapture.h"
#include "platform/linux/x11/X11Workspace.h"

// Last: Xlib's macros (None, Status) would clash with the headers above.
#include <X11/Xlib.h>

namespace {

using desktop::ProbeWindow;
using desktop::xdotool;

class SignalSources : public ::testing::Test {
protected:
    void SetUp() override {
        loop = std::make_shared<desktop::PumpedMainLoop>();
        platform::Services s;
        s.clock = std::make_shared<linuxplatform::SystemClock>();
        s.mainLoop = loop;
        platform::install(s);
    }
    void TearDown() override { platform::install({}); }
    std::shared_ptr<desktop::PumpedMainLoop> loop;
};

std::optional<std::string> focusedAttribute(linuxplatform::FocusedTextReader& ax, const std::string& name) {
    auto element = ax.focusedElement();
    if (!element) return std::nullopt;
    auto value = element->attribute(name);
    if (!value || !value->isString) return std::nullopt;
    return value->string;
}

bool waitForAttribute(linuxplatform::FocusedTextReader& ax, const std::string& name, const std::string& expected,
                      double seconds = 10) {
    return desktop::waitUntil([&] { return focusedAttribute(ax, name) == expected; }, desktop::Seconds(seconds));
}

// ---- Accessibility

TEST_F(SignalSources, FocusedEntryTextAndSelectionAreReadAndPasswordsNever) {
    ProbeWindow probe({"--title", "Probe Entries", "--entries"});
    ASSERT_TRUE(probe.waitShown("Probe Entries"));
    ASSERT_TRUE(probe.activate());
    xdotool("type --delay 20 'typed before listening'");

    // Focus that was set before we listened is found by walking the desktop.
    linuxplatform::AtspiAccessibility ax;
    EXPECT_TRUE(waitForAttribute(ax, "AXValue", "typed before listening"));

    xdotool("type --delay 20 ' and after'");
    EXPECT_TRUE(waitForAttribute(ax, "AXValue", "typed before listening and after"));
    EXPECT_FALSE(focusedAttribute(ax, "AXSelectedText"));
    xdotool("key ctrl+a");
    EXPECT_TRUE(waitForAttribute(ax, "AXSelectedText", "typed before listening and after"));

    // Into the password field: an element, and nothing readable in it.
    xdotool("key Tab");
    xdotool("type --delay 20 'hunter2 is my secret'");
    ASSERT_TRUE(desktop::waitUntil([&] { return !focusedAttribute(ax, "AXValue"); }, desktop::Seconds(10)));
    // Left in its field, and then shown (Alt+R, as a "show password" toggle), it stays unread.
    xdotool("key ctrl+a");
    for (const char* step : {"", "alt+r"}) {
        if (*step) xdotool(std::string("key ") + step);
        for (int i = 0; i < 4; ++i) {
            desktop::settle(desktop::Seconds(0.6));
            auto element = ax.focusedElement();
            ASSERT_TRUE(element);
            EXPECT_FALSE(element->attribute("AXValue")) << step;
            EXPECT_FALSE(element->attribute("AXSelectedText")) << step;
        }
    }

    // Focus events keep following: the field after it reads again, with non-ASCII text intact.
    xdotool("key Tab");
    xdotool("type --delay 20 'after the secret café'");
    EXPECT_TRUE(waitForAttribute(ax, "AXValue", "after the secret café"));
}

TEST_F(SignalSources, FocusedElementAnswersQuicklyAndGoesAwayWithItsApplication) {
    linuxplatform::AtspiAccessibility ax;
    {
        ProbeWindow probe({"--title", "Probe Leaving", "--entries"});
        ASSERT_TRUE(probe.waitShown("Probe Leaving"));
        ASSERT_TRUE(probe.activate());
        xdotool("type --delay 20 'soon gone'");
        ASSERT_TRUE(waitForAttribute(ax, "AXValue", "soon gone"));
    }
    EXPECT_TRUE(desktop::waitUntil([&] { return !focusedAttribute(ax, "AXValue"); }, desktop::Seconds(5)));
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 5; ++i) ax.focusedElement();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(5 * 350));
}

TEST_F(SignalSources, TheFirstQuestionAfterAQuietSpellGetsTheTextAsItIsNow) {
    ProbeWindow probe({"--title", "Probe Fresh", "--entries"});
    ASSERT_TRUE(probe.waitShown("Probe Fresh"));
    ASSERT_TRUE(probe.activate());
    linuxplatform::AtspiAccessibility ax;
    xdotool("type --delay 20 'first words'");
    ASSERT_TRUE(waitForAttribute(ax, "AXValue", "first words"));
    // Edited while nobody asks; the next question must not get the reading from before.
    xdotool("type --delay 20 ' and more'");
    desktop::settle(desktop::Seconds(0.4));
    EXPECT_EQ(focusedAttribute(ax, "AXValue"), "first words and more");
}

// ---- Workspace

TEST_F(SignalSources, FrontmostApplicationAndActivationNoticesOncePerApplication) {
    ProbeWindow alpha({"--title", "Probe Alpha", "--wmclass", "ProbeAlpha", "--second", "Probe Alpha Two"});
    ProbeWindow beta({"--title", "Probe Beta", "--wmclass", "ProbeBeta"});
    auto alphaTwo = desktop::waitForWindow("^Probe Alpha Two$", desktop::Seconds(15));
    ASSERT_TRUE(alphaTwo);
    ASSERT_TRUE(alpha.waitShown("Probe Alpha"));
    ASSERT_TRUE(beta.waitShown("Probe Beta"));
    ASSERT_TRUE(alpha.activate());

    linuxplatform::X11Workspace ws;
    auto front = ws.frontmostApplication();
    ASSERT_TRUE(front);
    EXPECT_EQ(front->pid, alpha.pid());
    EXPECT_EQ(front->bundleIdentifier, "ProbeAlpha");
    EXPECT_EQ(front->localizedName, "ProbeAlpha");
    EXPECT_EQ(ws.ownPid(), static_cast<int>(::getpid()));
    EXPECT_EQ(std::filesystem::path(ws.bundlePath()), std::filesystem::path(desktop::buildDir()));

    std::vector<std::optional<platform::RunningApplication>> kept, removed;
    bool onMain = true;
    auto keep = ws.addActivationObserver([&](const std::optional<platform::RunningApplication>& app) {
        onMain = onMain && loop->isMainThread();
        kept.push_back(app);
    });
    auto gone = ws.addActivationObserver(
        [&](const std::optional<platform::RunningApplication>& app) { removed.push_back(app); });
    ws.removeActivationObserver(gone);
    loop->pump(0.3);  // the watcher is listening by now
    kept.clear();

    ASSERT_TRUE(beta.activate());
    ASSERT_TRUE(loop->pumpUntil([&] { return !kept.empty(); }, 5));
    ASSERT_TRUE(kept.back());
    EXPECT_EQ(kept.back()->pid, beta.pid());
    EXPECT_EQ(kept.back()->bundleIdentifier, "ProbeBeta");
    EXPECT_EQ(ws.frontmostApplication()->pid, beta.pid());

    ASSERT_TRUE(alpha.activate());
    ASSERT_TRUE(loop->pumpUntil([&] { return kept.size() >= 2 && kept.back() && kept.back()->pid == alpha.pid(); }, 5));
    // Alpha's other window, and back: the same application, so no notice.
    xdotool("windowactivate --sync " + *alphaTwo);
    ASSERT_TRUE(desktop::waitUntil([&] { return desktop::sh("xdotool getactivewindow").find(*alphaTwo) == 0; },
                                   desktop::Seconds(5)));
    ASSERT_TRUE(alpha.activate());
    loop->pump(0.5);
    EXPECT_EQ(kept.size(), 2u);  // one notice per change of application
    EXPECT_TRUE(onMain);
    EXPECT_TRUE(removed.empty());
}

TEST_F(SignalSources, KeyDownsCarryOnlyTheDeleteDistinction) {
    ProbeWindow probe({"--title", "Probe Keys", "--entries"});
    ASSERT_TRUE(probe.waitShown("Probe Keys"));
    ASSERT_TRUE(probe.activate());
    linuxplatform::X11Workspace ws;
    std::vector<int> codes;
    bool onMain = true;
    auto monitor = ws.addGlobalKeyDownMonitor([&](int code) {
        onMain = onMain && loop->isMainThread();
        codes.push_back(code);
    });
    loop->pump(0.3);
    xdotool("key --delay 30 BackSpace a Delete KP_Delete 3 Return");
    ASSERT_TRUE(loop->pumpUntil([&] { return codes.size() >= 6; }, 5));
    loop->pump(0.2);
    EXPECT_EQ(codes, (std::vector<int>{51, 0, 117, 117, 0, 0}));
    EXPECT_TRUE(onMain);

    // With its registration gone, the monitor hears nothing more.
    monitor.reset();
    loop->pump(0.3);
    xdotool("key --delay 30 BackSpace a Delete");
    loop->pump(1.0);
    EXPECT_EQ(codes.size(), 6u);
}

TEST(X11WorkspaceKeys, KeysymMapping) {
    using W = linuxplatform::X11Workspace;
    EXPECT_EQ(W::keyCodeForKeysym(0xff08), 51);   // BackSpace
    EXPECT_EQ(W::keyCodeForKeysym(0xffff), 117);  // Delete
    EXPECT_EQ(W::keyCodeForKeysym(0xff9f), 117);  // KP_Delete
    // Keysyms whose low byte or value equals the codes the logic reads still count as ordinary keys.
    for (unsigned long sym : {0x33ul /* '3' */, 0x75ul /* 'u' */, 0xff0dul, 0xffe1ul, 51ul, 117ul})
        EXPECT_EQ(W::keyCodeForKeysym(sym), 0) << sym;
}

// ---- Screen capture

struct Counts {
    int green = 0, magenta = 0;
};
Counts colours(const platform::Image& image) {
    Counts c;
    for (std::size_t i = 0; i + 3 < image.rgba.size(); i += 4) {
        const int r = image.rgba[i], g = image.rgba[i + 1], b = image.rgba[i + 2];
        if (r < 60 && g > 160 && b < 100) ++c.green;
        if (r > 200 && g < 60 && b > 200) ++c.magenta;
    }
    return c;
}

std::shared_ptr<const platform::Image> imageOf(const platform::CaptureResult& result) {
    if (auto* image = std::get_if<std::shared_ptr<const platform::Image>>(&result)) return *image;
    ADD_FAILURE() << std::get<platform::CaptureError>(result).description;
    return nullptr;
}

platform::ShareableContent contentOf(platform::ScreenCapture& capture) {
    platform::ShareableContent content;
    int calls = 0;
    capture.shareableContent([&](platform::ContentResult r) {
        ++calls;
        if (auto* c = std::get_if<platform::ShareableContent>(&r)) content = *c;
        else ADD_FAILURE() << std::get<platform::CaptureError>(r).description;
    });
    EXPECT_EQ(calls, 1);
    return content;
}

std::optional<platform::ShareableWindow> windowWithId(const platform::ShareableContent& content, const std::string& id) {
    for (const auto& w : content.windows)
        if (std::to_string(w.id) == id) return w;
    return std::nullopt;
}

TEST_F(SignalSources, WindowsAreListedWithTheirOwnerAndCapturedAlone) {
    ProbeWindow green({"--title", "Probe Green", "--color", "#20d040", "--size", "520x320", "--position", "100,120"});
    ASSERT_TRUE(green.waitShown("Probe Green"));
    ProbeWindow cover({"--title", "Probe Cover", "--color", "#ff20ff", "--size", "520x320", "--position", "300,220"});
    ASSERT_TRUE(cover.waitShown("Probe Cover"));
    ASSERT_TRUE(cover.activate());
    desktop::settle(desktop::Seconds(0.5));

    linuxplatform::X11ScreenCapture capture;
    ASSERT_TRUE(capture.preflight());
    const auto content = contentOf(capture);
    auto window = windowWithId(content, green.window());
    ASSERT_TRUE(window) << "the probe window is not listed";
    EXPECT_EQ(window->ownerPid, green.pid());
    EXPECT_TRUE(window->onScreen);
    const auto geometry = desktop::geometry(green.window());
    ASSERT_TRUE(geometry);
    EXPECT_EQ(window->frame.width, geometry->width);
    EXPECT_EQ(window->frame.height, geometry->height);
    EXPECT_EQ(window->frame.x, geometry->x);
    int screenWidth = 0, screenHeight = 0;
    std::istringstream(desktop::sh("xdotool getdisplaygeometry")) >> screenWidth >> screenHeight;
    ASSERT_GT(screenHeight, 0);
    EXPECT_EQ(window->frame.top(), screenHeight - geometry->y);  // y grows upward from the bottom
    ASSERT_FALSE(content.displays.empty());
    EXPECT_EQ(content.displays.front().width, screenWidth);
    EXPECT_EQ(content.displays.front().height, screenHeight);
    // Topmost first: the covering window comes before the one it covers.
    auto position = [&](const std::string& id) {
        for (std::size_t i = 0; i < content.windows.size(); ++i)
            if (std::to_string(content.windows[i].id) == id) return i;
        return content.windows.size();
    };
    EXPECT_LT(position(cover.window()), position(green.window()));

    // The window alone, although another one covers part of it.
    int calls = 0;
    std::shared_ptr<const platform::Image> image;
    capture.captureWindow(*window, 260, 160, [&](platform::CaptureResult r) {
        ++calls;
        image = imageOf(r);
    });
    EXPECT_EQ(calls, 1);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, 260);
    EXPECT_EQ(image->height, 160);
    ASSERT_EQ(image->rgba.size(), 260u * 160u * 4u);
    const Counts c = colours(*image);
    EXPECT_GT(c.green, 260 * 160 * 9 / 10);
    EXPECT_EQ(c.magenta, 0);
}

TEST_F(SignalSources, AWindowThatDrewInPartReadsExactlyAsTheWholeWindow) {
    ProbeWindow probe({"--title", "Probe Parts", "--color", "#20d040", "--size", "520x320", "--position", "100,120"});
    ASSERT_TRUE(probe.waitShown("Probe Parts"));
    desktop::settle(desktop::Seconds(0.5));
    linuxplatform::X11ScreenCapture capture;
    ASSERT_TRUE(capture.preflight());
    const auto window = windowWithId(contentOf(capture), probe.window());
    ASSERT_TRUE(window);
    const int width = static_cast<int>(window->frame.width), height = static_cast<int>(window->frame.height);
    const auto shot = [&](linuxplatform::X11ScreenCapture& from) {
        std::shared_ptr<const platform::Image> image;
        from.captureWindow(*window, width, height, [&](platform::CaptureResult r) { image = imageOf(r); });
        return image;
    };
    const auto first = shot(capture);
    ASSERT_TRUE(first);
    // Nothing drew: the frame before comes back.
    EXPECT_EQ(shot(capture).get(), first.get());

    // Another client draws into parts of the window, at its corners and a single pixel.
    Display* display = XOpenDisplay(nullptr);
    ASSERT_NE(display, nullptr);
    const Window id = std::stoul(probe.window());
    GC gc = XCreateGC(display, id, 0, nullptr);
    struct Part {
        int x, y, w, h;
        unsigned long colour;
    };
    for (const Part& part : {Part{0, 0, 40, 30, 0xff0000}, Part{width - 40, height - 30, 40, 30, 0x0000ff},
                             Part{200, 100, 1, 1, 0x000000}, Part{0, 150, width, 20, 0xffffff}}) {
        XSetForeground(display, gc, part.colour);
        XFillRectangle(display, id, gc, part.x, part.y, static_cast<unsigned>(part.w), static_cast<unsigned>(part.h));
        XSync(display, False);
        const auto partly = shot(capture);
        linuxplatform::X11ScreenCapture fresh;  // reads the whole window
        const auto whole = shot(fresh);
        ASSERT_TRUE(partly && whole);
        EXPECT_NE(partly->rgba, first->rgba) << part.x << "," << part.y;
        EXPECT_EQ(partly->rgba, whole->rgba) << part.x << "," << part.y;
    }
    XFreeGC(display, gc);
    XCloseDisplay(display);
}

TEST_F(SignalSources, DisplayCaptureLeavesTheExcludedWindowsOut) {
    ProbeWindow green({"--title", "Probe Under", "--color", "#20d040", "--size", "520x320", "--position", "100,120"});
    ASSERT_TRUE(green.waitShown("Probe Under"));
    ProbeWindow cover({"--title", "Probe Over", "--color", "#ff20ff", "--size", "520x320", "--position", "300,220"});
    ASSERT_TRUE(cover.waitShown("Probe Over"));
    ASSERT_TRUE(cover.activate());
    desktop::settle(desktop::Seconds(0.5));

    linuxplatform::X11ScreenCapture capture;
    ASSERT_TRUE(capture.preflight());
    const auto content = contentOf(capture);
    auto over = windowWithId(content, cover.window());
    ASSERT_TRUE(over);
    ASSERT_FALSE(content.displays.empty());
    const auto display = content.displays.front();

    std::shared_ptr<const platform::Image> whole, without;
    capture.captureDisplay(display, {}, 720, 450, [&](platform::CaptureResult r) { whole = imageOf(r); });
    capture.captureDisplay(display, {*over}, 720, 450, [&](platform::CaptureResult r) { without = imageOf(r); });
    ASSERT_TRUE(whole && without);
    EXPECT_EQ(without->width, 720);
    EXPECT_EQ(without->height, 450);
    const Counts a = colours(*whole), b = colours(*without);
    EXPECT_GT(a.magenta, 20000);  // about 260 x 160 at half size
    EXPECT_EQ(b.magenta, 0);
    // What the excluded window covered shows the window beneath it.
    EXPECT_GT(b.green, a.green + 10000);
}

TEST_F(SignalSources, CaptureFailuresCompleteOnceWithADescription) {
    linuxplatform::X11ScreenCapture capture;
    ASSERT_TRUE(capture.preflight());
    platform::ShareableWindow missing;
    missing.id = 0x7ffffff0;
    int calls = 0;
    std::string description;
    capture.captureWindow(missing, 100, 100, [&](platform::CaptureResult r) {
        ++calls;
        if (auto* e = std::get_if<platform::CaptureError>(&r)) description = e->description;
    });
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(description.empty());

    description.clear();
    capture.captureDisplay({424242, 10, 10}, {}, 100, 100, [&](platform::CaptureResult r) {
        ++calls;
        if (auto* e = std::get_if<platform::CaptureError>(&r)) description = e->description;
    });
    EXPECT_EQ(calls, 2);
    EXPECT_FALSE(description.empty());
}

TEST_F(SignalSources, WithoutAnXDisplayEverythingIsEmptyAndNothingCrashes) {
    const std::string saved = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
    ::setenv("DISPLAY", ":4711", 1);  // nobody listens there
    {
        linuxplatform::X11Workspace ws;
        EXPECT_FALSE(ws.frontmostApplication());
        auto reg = ws.addActivationObserver([](const std::optional<platform::RunningApplication>&) {});
        ws.removeActivationObserver(reg);
        ws.removeActivationObserver(nullptr);
        EXPECT_EQ(ws.ownPid(), static_cast<int>(::getpid()));

        linuxplatform::X11ScreenCapture capture;
        EXPECT_FALSE(capture.preflight());
        int calls = 0;
        capture.shareableContent([&](platform::ContentResult r) {
            ++calls;
            EXPECT_TRUE(std::holds_alternative<platform::CaptureError>(r));
        });
        capture.captureWindow({}, 10, 10, [&](platform::CaptureResult r) {
            ++calls;
            EXPECT_TRUE(std::holds_alternative<platform::CaptureError>(r));
        });
        capture.captureDisplay({}, {}, 10, 10, [&](platform::CaptureResult r) {
            ++calls;
            EXPECT_TRUE(std::holds_alternative<platform::CaptureError>(r));
        });
        EXPECT_EQ(calls, 3);
    }
    ::setenv("DISPLAY", saved.c_str(), 1);
}

// ---- Text recognition

std::optional<platform::Image> rendered(const std::string& name, const std::string& convertArgs) {
    const std::string path = desktop::buildDir() + "/" + name + ".png";
    desktop::sh("convert " + convertArgs + " " + desktop::shellQuote(path) + " 2>/dev/null");
    return desktop::loadImage(path);
}

std::string joined(const std::vector<std::optional<std::string>>& lines) {
    std::string out;
    for (const auto& l : lines)
        if (l) out += *l + " | ";
    return out;
}

TEST_F(SignalSources, RecognizerReadsEachLineInOrderWithoutLineBreaks) {
    auto image = rendered("ocr-two-lines",
                          "-background white -fill black -font DejaVu-Sans -pointsize 48 "
                          "label:'Quiet harbor lantern\\nSeven silver bridges'");
    ASSERT_TRUE(image);
    linuxplatform::TesseractRecognizer ocr;
    auto lines = ocr.recognize(*image);
    ASSERT_TRUE(lines);
    ASSERT_EQ(lines->size(), 2u) << joined(*lines);
    ASSERT_TRUE((*lines)[0] && (*lines)[1]);
    EXPECT_EQ(*(*lines)[0], "Quiet harbor lantern");
    EXPECT_EQ(*(*lines)[1], "Seven silver bridges");
    // The agent's reader, region by region and line by line, reads it the same.
    linuxplatform::IncrementalRecognizer reader(std::make_shared<linuxplatform::TesseractRecognizer>());
    EXPECT_EQ(reader.recognize(*image), lines);

    // A dark theme reads the same.
    auto dark = rendered("ocr-dark", "-background '#1e1e22' -fill '#e1e1e1' -font DejaVu-Sans -pointsize 48 "
                                     "label:'Quiet harbor lantern'");
    ASSERT_TRUE(dark);
    auto darkLines = ocr.recognize(*dark);
    ASSERT_TRUE(darkLines);
    ASSERT_EQ(darkLines->size(), 1u) << joined(*darkLines);
    EXPECT_EQ((*darkLines)[0], "Quiet harbor lantern");

    // A blank image is a success with no lines.
    platform::Image white{200, 100, std::vector<std::uint8_t>(200 * 100 * 4, 255)};
    auto none = ocr.recognize(white);
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->empty());
    EXPECT_FALSE(ocr.recognize(platform::Image{}));
}

TEST_F(SignalSources, RecognizerDropsLinesLowerThanTheMinimumShareOfTheImage) {
    const std::string text =
        "-fill black -font DejaVu-Sans -pointsize 72 -annotate +30+150 'Great big words' "
        "-pointsize 22 -annotate +30+400 'tiny little words'";
    auto shortImage = rendered("ocr-short", "-size 1000x1000 xc:white " + text);
    auto tallImage = rendered("ocr-tall", "-size 1000x5000 xc:white " + text);
    ASSERT_TRUE(shortImage && tallImage);
    linuxplatform::TesseractRecognizer ocr;
    auto near = ocr.recognize(*shortImage);
    auto far = ocr.recognize(*tallImage);
    ASSERT_TRUE(near && far);
    // Readable, and kept, where the line is taller than 0.006 of the image ...
    EXPECT_NE(joined(*near).find("tiny little words"), std::string::npos) << joined(*near);
    // ... and dropped where it is not (0.006 x 5000 = 30 pixels).
    EXPECT_NE(joined(*far).find("Great big words"), std::string::npos) << joined(*far);
    EXPECT_EQ(joined(*far).find("tiny"), std::string::npos) << joined(*far);
}

// The engine, with what it was asked to read.
class CountingEngine final : public linuxplatform::LineEngine {
public:
    std::optional<std::vector<linuxplatform::LineLayout>> layout(const linuxplatform::GreyPage& page,
                                                                 const linuxplatform::Rect& area) override {
        return engine.layout(page, area);
    }
    std::optional<linuxplatform::PieceReading> read(const linuxplatform::GreyPage& page,
                                                     const linuxplatform::Rect& piece) override {
        auto reading = engine.read(page, piece);
        readings += (reading ? reading->text : "?") + " | ";
        return reading;
    }
    linuxplatform::TesseractRecognizer engine;
    std::string readings;
};

TEST_F(SignalSources, ALineCutByTheFrameOrAToolbarIsNotReadAndAWholeLineIsReadOnceWhereverItMoves) {
    const std::vector<std::string> lines{"Quiet harbor lantern glowing", "Seven silver bridges jumping",
                                         "Gentle yellow poppy hedges",   "Brightly typing quickly judged",
                                         "Hazy purple kayaks gliding",   "Lofty young pine goblets"};
    std::string args = "-size 900x260 xc:white -fill black -font DejaVu-Sans -pointsize 30";
    for (std::size_t i = 0; i < lines.size(); ++i)
        args += " -annotate +20+" + std::to_string(50 + 35 * i) + " '" + lines[i] + "'";
    const auto page = rendered("ocr-page", args);
    ASSERT_TRUE(page);
    const auto some = [&](std::size_t from, std::size_t to) {
        return joined(std::vector<std::optional<std::string>>(lines.begin() + static_cast<long>(from),
                                                              lines.begin() + static_cast<long>(to)));
    };
    auto engine = std::make_shared<CountingEngine>();
    linuxplatform::IncrementalRecognizer reader(engine);
    // Rows of the page from `top`, the first `toolbar` of them under a grey bar; the lines read whole,
    // and what the engine is asked to read.
    // 1. The frame's bottom cuts the fifth line through its letters: nothing of it.
    // 2. A line further, under a toolbar that cuts the second line: the third and fourth only moved
    //    and are not read again; the fifth shows whole, its margin beyond the frame.
    // 3. Another line further, the frame's top cutting the second line: the fifth is not read again
    //    now that the frame's edge is no longer in its margin.
    for (const auto& [top, height, toolbar, read, asked] : {std::tuple{0, 182, 0, some(0, 4), some(0, 4)},
                                                            {35, 163, 40, some(2, 5), some(4, 5)},
                                                            {70, 182, 0, some(2, 6), some(5, 6)}}) {
        const auto row = [&](int y) { return page->rgba.begin() + static_cast<long>(y) * page->width * 4; };
        platform::Image frame{page->width, height, {row(top), row(top + height)}};
        std::fill_n(frame.rgba.begin(), static_cast<long>(toolbar) * page->width * 4, 220);
        engine->readings.clear();
        const auto reading = reader.recognize(frame);
        ASSERT_TRUE(reading);
        EXPECT_EQ(joined(*reading), read) << top;
        EXPECT_EQ(engine->readings, asked) << top;
        linuxplatform::IncrementalRecognizer fresh(std::make_shared<linuxplatform::TesseractRecognizer>(),
                                                   {.cached = false});
        EXPECT_EQ(reading, fresh.recognize(frame)) << top;
    }
}

// The English model reads code's underscores as spaces and puts spaces into code ("Z STREAM ERROR",
// "(void) inflateEnd(&strm) ;"); prose, and a line drawn under words, must come through as before.
TEST_F(SignalSources, CodeReadsWithItsUnderscoresAndProseWithItsSpaces) {
    const std::vector<std::string> code{"ret = Z_STREAM_ERROR;", "if (ret != Z_OK)", "(void)inflateEnd(&strm);",
                                        "SET_BINARY_MODE(stdin);", "strm.avail_in = 0;", "return Z_DATA_ERROR;"};
    std::string text;
    for (const auto& line : code) text += (text.empty() ? "" : "\\n") + line;
    const auto block = rendered("ocr-code", "-background white -fill black -font DejaVu-Sans-Mono -pointsize 28 "
                                            "-interline-spacing 10 label:'" + text + "'");
    const auto prose = rendered("ocr-prose", "-size 640x130 xc:white -font DejaVu-Sans -pointsize 28 -fill black "
                                             "-draw \"text 10,40 'Read the zlib manual before you begin.'\" "
                                             "-stroke black -strokewidth 2 -draw 'line 78,47 258,47' -stroke none "
                                             "-draw \"text 10,100 'A big dog dug a log by the gap.'\"");
    ASSERT_TRUE(block && prose);
    linuxplatform::IncrementalRecognizer reader(std::make_shared<linuxplatform::TesseractRecognizer>());
    const auto lines = reader.recognize(*block);
    ASSERT_TRUE(lines);
    EXPECT_EQ(joined(*lines), joined(std::vector<std::optional<std::string>>(code.begin(), code.end())));
    const auto read = reader.recognize(*prose);
    ASSERT_TRUE(read);
    EXPECT_EQ(joined(*read), "Read the zlib manual before you begin. | A big dog dug a log by the gap. | ");
}

TEST_F(SignalSources, ACapturedWindowIsReadBack) {
    ProbeWindow probe({"--title", "Probe Words", "--label", "Lantern harbor morning", "--size", "700x200"});
    ASSERT_TRUE(probe.waitShown("Probe Words"));
    ASSERT_TRUE(probe.activate());
    desktop::settle(desktop::Seconds(0.5));
    linuxplatform::X11ScreenCapture capture;
    ASSERT_TRUE(capture.preflight());
    auto window = windowWithId(contentOf(capture), probe.window());
    ASSERT_TRUE(window);
    std::shared_ptr<const platform::Image> image;
    const int w = static_cast<int>(window->frame.width * 2), h = static_cast<int>(window->frame.height * 2);
    capture.captureWindow(*window, w, h, [&](platform::CaptureResult r) { image = imageOf(r); });
    ASSERT_TRUE(image);
    linuxplatform::TesseractRecognizer ocr;
    auto lines = ocr.recognize(*image);
    ASSERT_TRUE(lines);
    EXPECT_NE(joined(*lines).find("Lantern harbor morning"), std::string::npos) << joined(*lines);
}

// ---- Scaling

TEST(ImageScaling, ShrinkingAveragesTheCoveredAreaAndGrowingKeepsFlatColour) {
    // Columns white, white, black, black: half size gives one white and one black pixel.
    platform::Image stripes{4, 2, {}};
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 4; ++x) {
            const std::uint8_t v = x < 2 ? 255 : 0;
            stripes.rgba.insert(stripes.rgba.end(), {v, v, v, 255});
        }
    auto half = imagescaling::resize(stripes, 2, 1);
    ASSERT_EQ(half.rgba.size(), 2u * 4u);
    EXPECT_EQ(half.rgba[0], 255);
    EXPECT_EQ(half.rgba[4], 0);
    // Neighbours mix in proportion to what each covers: 4 -> 3 gives the middle pixel equal parts of both.
    auto third = imagescaling::resize(stripes, 3, 2);
    EXPECT_EQ(third.rgba[0], 255);
    EXPECT_NEAR(third.rgba[4], 128, 1);
    EXPECT_EQ(third.rgba[8], 0);

    platform::Image red{1, 1, {200, 10, 20, 255}};
    auto big = imagescaling::resize(red, 3, 5);
    ASSERT_EQ(big.rgba.size(), 3u * 5u * 4u);
    for (std::size_t i = 0; i < big.rgba.size(); i += 4) {
        EXPECT_EQ(big.rgba[i], 200);
        EXPECT_EQ(big.rgba[i + 1], 10);
        EXPECT_EQ(big.rgba[i + 2], 20);
        EXPECT_EQ(big.rgba[i + 3], 255);
    }
    // A broken source never reads out of bounds.
    auto empty = imagescaling::resize(platform::Image{10, 10, {}}, 4, 4);
    EXPECT_EQ(empty.rgba.size(), 4u * 4u * 4u);
}

}  // namespace
