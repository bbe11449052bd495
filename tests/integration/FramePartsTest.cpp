// Work kept from one frame to the next must not change what a frame gives: a partly changed frame
// scales exactly as the whole frame does, and a window's furniture (toolbar, scrollbar) does not
// hold the paragraphs of its page together in one region.
#include <gtest/gtest.h>

#include <random>

#include "platform/linux/common/ImageScaling.h"
#include "platform/linux/common/ScaledFrameCache.h"
#include "platform/linux/recognition/PageRegions.h"

using linuxplatform::GreyPage;
using linuxplatform::PageRegions;
using linuxplatform::Rect;

TEST(FramePartsTest, APartlyChangedFrameScalesExactlyAsTheWholeFrame) {
    std::mt19937 random(11);
    platform::Image source;
    source.width = 301;
    source.height = 203;
    source.rgba.resize(static_cast<std::size_t>(source.width) * source.height * 4);
    for (auto& v : source.rgba) v = static_cast<std::uint8_t>(random());
    const auto changeRows = [&](int from, int to) {
        for (int y = from; y < to; ++y)
            for (int x = 0; x < source.width * 4; ++x)
                source.rgba[static_cast<std::size_t>(y) * source.width * 4 + x] = static_cast<std::uint8_t>(random());
    };
    linuxplatform::ScaledFrameCache frames;
    for (const auto& [width, height] : {std::pair{376, 254}, {451, 304}, {150, 101}, {602, 406}, {1204, 203}}) {
        // Bands inside, the first and the last row, one row, nothing.
        for (const auto& [from, to] : {std::pair{0, 0}, {40, 57}, {0, 1}, {202, 203}, {100, 101}, {0, 0}, {3, 200}}) {
            changeRows(from, to);
            const auto scaled = frames.scaled(source, width, height);
            const auto whole = imagescaling::resize(source, width, height);
            ASSERT_EQ(scaled->width, whole.width);
            ASSERT_EQ(scaled->rgba, whole.rgba) << width << "x" << height << " after rows " << from << "-" << to;
        }
        // Enlarged by whole multiples, each pixel is its source pixel.
        if (width % source.width == 0 && height % source.height == 0) {
            const auto scaled = frames.scaled(source, width, height);
            const int kx = width / source.width, ky = height / source.height;
            for (int y = 0; y < height; y += 7)
                for (int x = 0; x < width; x += 5)
                    for (int c = 0; c < 4; ++c)
                        ASSERT_EQ(scaled->rgba[(static_cast<std::size_t>(y) * width + x) * 4 + c],
                                  source.rgba[(static_cast<std::size_t>(y / ky) * source.width + x / kx) * 4 + c])
                            << width << "x" << height << " at " << x << "," << y;
        }
        EXPECT_EQ(frames.again(width, height).get(), frames.scaled(source, width, height).get());
        EXPECT_EQ(frames.again(width + 1, height), nullptr);
    }
}

TEST(FramePartsTest, AWindowsToolbarAndScrollbarDoNotJoinTheParagraphsOfItsPage) {
    GreyPage page;
    page.width = 900;
    page.height = 600;
    page.pixels.assign(static_cast<std::size_t>(page.width) * page.height, 255);
    const auto fill = [&](int left, int top, int right, int bottom, std::uint8_t grey) {
        for (int y = top; y < bottom; ++y)
            std::fill_n(page.pixels.begin() + static_cast<long>(y) * page.width + left, right - left, grey);
    };
    // Text: letters of a few pixels, none of them a long run of one grey.
    const auto text = [&](int left, int top, int right, int bottom) {
        for (int y = top; y < bottom; y += 14)
            for (int x = left; x < right; x += 9) fill(x, y, x + 3, y + 10, static_cast<std::uint8_t>(40 + (x + y) % 50));
    };
    fill(0, 0, 900, 60, 220);  // toolbar, its icons and address text spread over the width
    for (int x = 20; x < 880; x += 90) fill(x, 20, x + 16, 36, 90);
    fill(870, 60, 900, 600, 235);  // scrollbar track and thumb
    fill(874, 200, 896, 420, 180);
    text(40, 100, 700, 200);
    text(40, 260, 700, 360);
    text(40, 420, 300, 560);  // a column of notes beside a paragraph
    text(420, 420, 820, 560);
    const auto regions = PageRegions::of(page);
    const auto holds = [](const Rect& r, int x, int y) { return x >= r.left && x < r.right && y >= r.top && y < r.bottom; };
    for (const auto& [x, y] : {std::pair{45, 105}, {45, 265}, {45, 425}, {425, 425}}) {
        int holding = 0;
        for (const Rect& r : regions) {
            if (!holds(r, x, y)) continue;
            ++holding;
            // Nothing else of the page comes with it.
            EXPECT_LT(r.height(), 160) << x << "," << y;
            EXPECT_LT(r.width(), 700) << x << "," << y;
        }
        EXPECT_EQ(holding, 1) << x << "," << y;
    }
}
