#include "platform/linux/recognition/LinePieces.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

namespace linuxplatform::linepieces {

namespace {

Rect onPage(const GreyPage& page, const Rect& r) {
    return {std::max(0, r.left), std::max(0, r.top), std::min(page.width, r.right), std::min(page.height, r.bottom)};
}

std::uint8_t at(const GreyPage& page, int x, int y) {
    return page.pixels[static_cast<std::size_t>(y) * page.width + x];
}

// Whether the line is cut where its row `edge` of ink meets row `beside`: that row is off the
// frame, or covered (not the line's ground on nearly all of its width), and the letters run into
// it on a fifth of the width or more. A whole line meets its edge with the tips of a few ascenders
// or descenders at most; one cut through its letters, with most of their strokes.
bool cutAt(const GreyPage& page, const Rect& box, std::uint8_t ground, int edge, int beside) {
    int ink = 0, other = 0;
    for (int x = box.left; x < box.right; ++x) {
        ink += at(page, x, edge) != ground;
        if (beside >= 0 && beside < page.height) other += at(page, x, beside) != ground;
    }
    const bool covered = beside < 0 || beside >= page.height || 10 * other >= 9 * box.width();
    return covered && 5 * ink >= box.width();
}

}  // namespace

std::uint8_t groundOf(const GreyPage& page, const Rect& piece) {
    const Rect r = onPage(page, piece);
    if (r.width() <= 0 || r.height() <= 0) return 255;
    std::array<std::uint32_t, 256> counts{};
    for (int x = r.left; x < r.right; ++x) {
        ++counts[at(page, x, r.top)];
        ++counts[at(page, x, r.bottom - 1)];
    }
    for (int y = r.top; y < r.bottom; ++y) {
        ++counts[at(page, r.left, y)];
        ++counts[at(page, r.right - 1, y)];
    }
    return static_cast<std::uint8_t>(std::max_element(counts.begin(), counts.end()) - counts.begin());
}

Rect own(const GreyPage& page, const Rect& line) {
    Rect box = onPage(page, line);
    if (box.width() <= 0 || box.height() <= 0) return {box.left, box.top, box.left, box.top};
    // The grey most common over the whole box: the line's ground, whatever lies at its edges.
    std::array<std::uint32_t, 256> counts{};
    for (int y = box.top; y < box.bottom; ++y)
        for (int x = box.left; x < box.right; ++x) ++counts[at(page, x, y)];
    const auto ground = static_cast<std::uint8_t>(std::max_element(counts.begin(), counts.end()) - counts.begin());
    const auto covered = [&](int y) {
        int other = 0;
        for (int x = box.left; x < box.right; ++x) other += at(page, x, y) != ground;
        return 10 * other >= 9 * box.width();
    };
    while (box.bottom > box.top && covered(box.bottom - 1)) --box.bottom;
    while (box.top < box.bottom && covered(box.top)) ++box.top;
    return box;
}

bool cut(const GreyPage& page, const Rect& own) {
    const Rect box = onPage(page, own);
    if (box.width() <= 0 || box.height() <= 0) return true;
    const std::uint8_t ground = groundOf(page, box);
    return cutAt(page, box, ground, box.top, box.top - 1) || cutAt(page, box, ground, box.bottom - 1, box.bottom);
}

std::optional<Rect> withoutTips(const GreyPage& page, const Rect& own, int lowest) {
    const Rect box = onPage(page, own);
    if (box.width() <= 0 || box.height() <= 2) return std::nullopt;
    const std::uint8_t ground = groundOf(page, box);
    const auto clear = [&](int y) {
        for (int x = box.left; x < box.right; ++x)
            if (std::abs(at(page, x, y) - ground) > 24) return false;
        return true;
    };
    if (box.bottom == page.height) {
        int y = box.bottom - 1;
        while (y > box.top && !clear(y)) --y;
        if (y > box.top && y < box.bottom - 1 && box.bottom - 1 - y < lowest) return Rect{box.left, box.top, box.right, y};
    }
    if (box.top == 0) {
        int y = box.top;
        while (y < box.bottom - 1 && !clear(y)) ++y;
        if (y < box.bottom - 1 && y > box.top && y - box.top < lowest) return Rect{box.left, y + 1, box.right, box.bottom};
    }
    return std::nullopt;
}

GreyPage image(const GreyPage& page, const Rect& piece, const Rect& box) {
    GreyPage out;
    if (piece.width() <= 0 || piece.height() <= 0) return out;
    out.width = piece.width();
    out.height = piece.height();
    out.inverted = page.inverted;
    out.pixels.assign(static_cast<std::size_t>(out.width) * out.height, groundOf(page, piece));
    // The line's own rows, within the page.
    const Rect from =
        onPage(page, {piece.left, std::max(piece.top, box.top), piece.right, std::min(piece.bottom, box.bottom)});
    for (int y = from.top; y < from.bottom; ++y)
        std::memcpy(out.pixels.data() + static_cast<std::size_t>(y - piece.top) * out.width + (from.left - piece.left),
                    page.pixels.data() + static_cast<std::size_t>(y) * page.width + from.left,
                    static_cast<std::size_t>(from.width()));
    return out;
}

}  // namespace linuxplatform::linepieces
