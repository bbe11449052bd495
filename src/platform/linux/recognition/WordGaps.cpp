#include "platform/linux/recognition/WordGaps.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cctype>
#include <cstdlib>
#include <limits>
#include <numeric>
#include <optional>
#include <utility>
#include <vector>

#include "platform/linux/recognition/LinePieces.h"

namespace linuxplatform::wordgaps {

namespace {

class Ink {
public:
    Ink(const GreyPage& page, const Line& line) : page_(page) {
        ground_ = linepieces::groundOf(page, line.box);
        for (int y = std::max(0, line.box.top); y < std::min(page.height, line.box.bottom); ++y)
            for (int x = std::max(0, line.box.left); x < std::min(page.width, line.box.right); ++x)
                strongest_ = std::max(strongest_, contrast(x, y));
    }

    // How far a pixel is from the ground, dark or light; nothing off the page.
    int contrast(int x, int y) const {
        if (x < 0 || y < 0 || x >= page_.width || y >= page_.height) return 0;
        return std::abs(page_.pixels[static_cast<std::size_t>(y) * page_.width + x] - ground_);
    }
    // At least half as far from the ground as the line's strongest stroke.
    bool at(int x, int y) const { return visible() && 2 * contrast(x, y) >= strongest_; }
    // The same over two rows: a thin stroke drawn between pixel rows is spread over both.
    bool across(int x, int y) const { return visible() && 2 * (contrast(x, y) + contrast(x, y + 1)) >= strongest_; }
    int strongest() const { return visible() ? strongest_ : 0; }
    // Whether anything stands in columns [from, to) of rows [top, bottom).
    bool any(int from, int to, int top, int bottom) const {
        for (int y = top; y < bottom; ++y)
            for (int x = from; x < to; ++x)
                if (at(x, y)) return true;
        return false;
    }

private:
    bool visible() const { return strongest_ >= 32; }

    const GreyPage& page_;
    int ground_ = 255;
    int strongest_ = 0;
};

struct Stroke {
    int left = 0, right = 0;  // columns, right exclusive
    bool closeLeft = false, closeRight = false;  // a letter stands close on that side
};

// The row below the letters' feet. The engine's own baseline sits on the underscores when a line
// has few letters and several of them, so it is found here: the rows of ink around the line's
// densest row run down to the feet, and end where only descenders and strokes below go on.
int baselineOf(const Ink& ink, const Line& line) {
    std::vector<int> counts;
    for (int y = line.box.top; y < line.box.bottom; ++y) {
        int count = 0;
        for (int x = line.box.left; x < line.box.right; ++x) count += ink.at(x, y);
        counts.push_back(count);
    }
    if (counts.empty()) return line.box.bottom;
    std::size_t row = std::max_element(counts.begin(), counts.end()) - counts.begin();
    const int floor = counts[row] / 5;
    while (row + 1 < counts.size() && counts[row + 1] > floor) ++row;
    return line.box.top + static_cast<int>(row) + 1;
}

// Whether a stroke on row `y` that ends at column `end` (going by `step`, +1 or -1) is a piece of a
// rule drawn to skip descenders (Chromium underlines links so): next to it a descender crosses the
// row and goes on below it, and past that the rule goes on under letters. An underscore beside a
// g or a p has no rule past the descender.
bool ruleGoesOn(const Ink& ink, const Line& line, int y, int end, int step, int top, int baseline) {
    const double letter = line.charWidth;
    int thickness = 1;
    while (thickness < 4 && ink.at(end - step, y + thickness)) ++thickness;
    const auto below = [&](int x) { return ink.any(x, x + 1, y + thickness + 1, y + thickness + 3); };
    bool descender = false;
    const int reach = static_cast<int>(std::ceil(1.5 * letter));
    for (int x = end, gone = 0; gone < reach; x += step, ++gone) {
        if (!ink.across(x, y)) continue;
        if (below(x)) {
            descender = true;
            continue;
        }
        if (!descender) return false;
        // The rule again: under letters, for a part of a letter at least.
        int from = x, to = x;
        while (ink.across(to + step, y) && !below(to + step) && std::abs(to - from) < letter) to += step;
        if (std::abs(to - from) + 1 < 0.3 * letter) return false;
        const int middle = (from + to) / 2;
        return ink.any(middle - 1, middle + 2, top, baseline);
    }
    return false;
}

// The underscores the pixels show: on rows below the baseline, straight runs of ink about a letter
// long (two for "__") with no letter above their middle, which tells them from the bowl of a g or
// a line under whole words, nor a rule beyond a descender at either end (a link's underline
// broken around descenders, one piece of it under the space between two words).
std::vector<Stroke> strokes(const Ink& ink, const Line& line, int top, int baseline, int bottom) {
    const double letter = line.charWidth;
    const int close = static_cast<int>(std::ceil(0.45 * letter));
    std::vector<Stroke> found;
    for (int y = baseline + 1; y < bottom; ++y) {
        for (int x = line.box.left; x < line.box.right;) {
            if (!ink.across(x, y)) {
                ++x;
                continue;
            }
            const int left = x;
            while (x < line.box.right && ink.across(x, y)) ++x;
            const int run = x - left;
            if (run < 0.7 * letter || run > 2.5 * letter) continue;
            const int margin = run / 5;
            if (ink.any(left + margin, x - margin, top, baseline)) continue;
            if (ruleGoesOn(ink, line, y, left - 1, -1, top, baseline) || ruleGoesOn(ink, line, y, x, 1, top, baseline))
                continue;
            // Found again on the next row: the same stroke.
            if (std::any_of(found.begin(), found.end(), [&](const Stroke& s) { return s.left < x && left < s.right; }))
                continue;
            found.push_back({left, x, ink.any(left - close, left + 1, line.box.top, baseline),
                             ink.any(x - 1, x + close, line.box.top, baseline)});
        }
    }
    return found;
}

// The cells of a line set in a fixed-width font. The middles of its letters (the runs of columns
// holding ink) fall on a grid, so at the right pitch their phases agree; a proportional line's
// scatter. The engine's letter width is near the pitch, which keeps the search off the grid's
// halves.
struct Grid {
    double pitch = 0;
    double phase = 0;         // the middle of some cell
    int first = 0, last = 0;  // the cells of the line's first and last letters

    int cell(double x) const { return static_cast<int>(std::lround((x - phase) / pitch)); }
    double middle(int cell) const { return phase + cell * pitch; }
};

std::optional<Grid> gridOf(const Ink& ink, const Line& line, int top, int baseline) {
    std::vector<int> rows;  // how many rows hold ink, column by column
    int left = line.box.right, right = line.box.left;
    for (int x = line.box.left; x < line.box.right; ++x) {
        int n = 0;
        for (int y = top; y < baseline; ++y) n += ink.at(x, y);
        rows.push_back(n);
        if (n > 0) left = std::min(left, x), right = x + 1;
    }
    // The letters are runs of columns with ink in at least `solid` rows. With any ink, the serifs of
    // a Courier-like font join its letters at their feet and tops; counting only columns a quarter
    // full, they part, and a bar or a serif alone no longer stands for a letter. Narrow runs (a
    // parenthesis, a comma, half of a bold "m") and wide ones (letters joined) lie off their cells'
    // middles; leaving them out by width alone keeps chance phases as unlikely to agree.
    const auto search = [&](int solid, double narrowest, double widest) {
        std::vector<double> middles;
        for (std::size_t x = 0; x < rows.size();) {
            if (rows[x] < solid) {
                ++x;
                continue;
            }
            const std::size_t from = x;
            while (x < rows.size() && rows[x] >= solid) ++x;
            if (static_cast<double>(x - from) < narrowest || static_cast<double>(x - from) > widest) continue;
            middles.push_back(line.box.left + static_cast<double>(from + x) / 2);
        }
        std::pair<double, Grid> best{0, {}};
        for (double p = 0.8 * line.charWidth; p <= 1.6 * line.charWidth; p += 0.05) {
            double c = 0, s = 0;
            for (const double m : middles) {
                c += std::cos(2 * M_PI * m / p);
                s += std::sin(2 * M_PI * m / p);
            }
            if (const double agreement = std::hypot(c, s) / static_cast<double>(middles.size()); agreement > best.first)
                best = {agreement, {p, p * std::atan2(s, c) / (2 * M_PI)}};
        }
        // Chance phases agree as well as these about once in 20 000 tries.
        const double agreement = best.first;
        const bool fixed = agreement >= 0.85 && static_cast<double>(middles.size()) * agreement * agreement >= 10;
        return fixed ? best : std::pair<double, Grid>{0, {}};
    };
    const double cw = line.charWidth, all = static_cast<double>(rows.size());
    auto best = search(1, 0, all);
    const int solid = std::max(1, (baseline - top) / 4);
    for (const auto& [narrowest, widest] : {std::pair{0.0, all}, {0.5 * cw, 1.4 * cw}})
        if (auto found = search(solid, narrowest, widest); found.first > best.first) best = found;
    if (best.first == 0) return std::nullopt;
    Grid grid = best.second;
    // A letter's ink starts and ends within its cell, however narrow the letter.
    grid.first = grid.cell(left + 0.4 * grid.pitch);
    grid.last = grid.cell(right - 0.4 * grid.pitch);
    return grid;
}

// Whether the letter in a cell has a mark in its middle (a dotted or slashed zero has, an O has
// not), and how high its ink stands; nothing when the cell is too low to tell.
struct Centre {
    bool marked = false;
    int height = 0;
    int width = 0;  // of its sides at mid-height, out to where they end or the cell does
};

// On one row: a mark near the cell's middle with a lighter gap on either side of it and then ink
// again (the zero's sides) within the cell. Where the font is small the gaps are grey, and so are
// the inner edges of an O's sides, which are no mark: each has its side's ink next to it.
bool markOnRow(const Ink& ink, int y, const Grid& grid, int cell) {
    const int strong = ink.strongest();
    if (strong == 0) return false;
    const double middle = grid.middle(cell);
    // The letter's own cell, short of its neighbours' ink.
    const int left = static_cast<int>(std::ceil(middle - 0.45 * grid.pitch));
    const int right = static_cast<int>(std::floor(middle + 0.45 * grid.pitch));
    // Going out from a mark of contrast `c`: a valley a quarter of the strongest stroke lighter than
    // the mark, then ink as far above the valley.
    const auto side = [&](int x, int c, int step) {
        int valley = c;
        for (int z = x + step; z >= left && z <= right; z += step) {
            const int v = ink.contrast(z, y);
            const bool fell = 4 * (c - valley) >= strong;
            if (!fell && v > c) return false;
            valley = std::min(valley, v);
            if (fell && 4 * (v - valley) >= strong && 2 * v >= strong) return true;
        }
        return false;
    };
    for (int x = static_cast<int>(middle - 0.25 * grid.pitch); x <= static_cast<int>(middle + 0.25 * grid.pitch); ++x)
        if (const int c = ink.contrast(x, y); 2 * c >= strong && side(x, c, -1) && side(x, c, 1)) return true;
    return false;
}

std::optional<Centre> centreOf(const Ink& ink, const Line& line, int baseline, const Grid& grid, int cell) {
    const double middle = grid.middle(cell);
    const int left = static_cast<int>(middle - 0.4 * grid.pitch), right = static_cast<int>(middle + 0.4 * grid.pitch);
    int top = baseline, bottom = line.box.top;
    for (int y = line.box.top; y < baseline; ++y)
        if (ink.any(left, right, y, y + 1)) {
            top = std::min(top, y);
            bottom = y + 1;
        }
    if (bottom - top < 4) return std::nullopt;
    const double height = bottom - top, centre = (top + bottom) / 2.0;
    Centre found{false, bottom - top};
    const int band = static_cast<int>(centre - 0.15 * height), bandEnd = static_cast<int>(centre + 0.15 * height) + 1;
    for (int y = band; y < bandEnd; ++y) found.marked = found.marked || markOnRow(ink, y, grid, cell);
    // From the middle out: the hollow, then the side's ink up to a clear column or the cell's edge.
    const auto inked = [&](int x) { return ink.any(x, x + 1, band, bandEnd); };
    const auto side = [&](int step) {
        const int edge = static_cast<int>(step < 0 ? std::ceil(middle - 0.5 * grid.pitch) : std::floor(middle + 0.5 * grid.pitch));
        int x = static_cast<int>(std::lround(middle));
        while (x != edge && !inked(x)) x += step;
        while (x != edge && inked(x + step)) x += step;
        return x;
    };
    found.width = side(1) - side(-1) + 1;
    return found;
}

// A fixed-width line read again against its cells: each letter takes one cell, each space one
// or more empty ones.
PieceReading fitted(const std::string& text, const Ink& ink, const Line& line, const Grid& grid, int letters,
                    int baseline, int bottom) {
    if (!std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
        return text;
    const auto holds = [&](int cell, int from, int to) {
        const double middle = grid.middle(cell);
        return ink.any(static_cast<int>(middle - 0.4 * grid.pitch), static_cast<int>(middle + 0.4 * grid.pitch) + 1,
                       from, to);
    };
    // A cell with a stroke below the letters and nothing above it holds an underscore.
    const auto underscore = [&](int cell) { return !holds(cell, line.box.top, baseline) && holds(cell, baseline, bottom); };
    // Some fixed-width fonts (Nimbus Mono PS) join "fi" and "fl" into one letter of one cell.
    std::vector<std::size_t> joins;
    for (std::size_t i = 0; i + 1 < text.size(); ++i)
        if (text[i] == 'f' && (text[i + 1] == 'i' || text[i + 1] == 'l')) joins.push_back(i);
    if (joins.size() > 6) joins.clear();
    std::string out;
    std::vector<int> cells;  // of each letter of `out`
    const auto walk = [&](unsigned joined) {
        out.clear();
        cells.clear();
        int cell = grid.first;
        std::size_t join = 0;
        for (std::size_t i = 0; i < text.size(); ++i) {
            const char c = text[i];
            if (c != ' ') {
                if (!holds(cell, line.box.top, bottom)) return false;
                out += c;
                cells.push_back(cell);
                while (join < joins.size() && joins[join] < i) ++join;
                if (join < joins.size() && joins[join] == i && (joined >> join & 1u)) {
                    out += text[++i];
                    cells.push_back(cell);
                }
                ++cell;
                // The engine reads a run of underscores ("__CYGWIN__") as one.
                while (c == '_' && cell <= grid.last && underscore(cell) && (i + 1 == text.size() || text[i + 1] != '_')) {
                    out += '_';
                    cells.push_back(cell++);
                }
            } else if (!holds(cell, letters, baseline)) {
                out += c;
                cells.push_back(cell);
                while (cell <= grid.last && !holds(cell, letters, baseline)) ++cell;
            }
        }
        return cell == grid.last + 1;
    };
    // Every way of joining, the fewest joins first.
    std::vector<unsigned> ways(1u << joins.size());
    std::iota(ways.begin(), ways.end(), 0u);
    std::stable_sort(ways.begin(), ways.end(), [](unsigned a, unsigned b) { return std::popcount(a) < std::popcount(b); });
    if (std::none_of(ways.begin(), ways.end(), walk)) return text;
    const auto letter = [](char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; };
    const auto capital = [](char c) { return std::isupper(static_cast<unsigned char>(c)) || c == '_'; };
    // Only a font whose zero is drawn marked tells a hollow zero for an O: in a font with a plain
    // zero ("d0a9097", "0xA0B0C0D0" in Courier) the engine's zeros stand. This line proves the font
    // when it shows such a zero; otherwise the hollow zeros wait for the rest of the frame.
    PieceReading reading;
    reading.pitch = grid.pitch;
    std::vector<std::optional<Centre>> centres(out.size());
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (out[i] != '0' && out[i] != 'O') continue;
        centres[i] = centreOf(ink, line, baseline, grid, cells[i]);
        if (!centres[i]) continue;
        reading.markedZero = reading.markedZero || centres[i]->marked;
        reading.zeroHeight = std::max(reading.zeroHeight, centres[i]->height);
    }
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (!centres[i]) continue;
        // An O never has ink in its middle: what was read as one there is a marked zero.
        if (out[i] == 'O' && centres[i]->marked) out[i] = '0';
        if (centres[i]->marked) continue;
        const int width = centres[i]->width;
        if (out[i] == 'O') {
            reading.hollowOs.push_back(width);
            continue;
        }
        const bool between = i > 0 && i + 1 < out.size() && letter(out[i - 1]) && letter(out[i + 1]);
        const bool opening = i + 1 < out.size() && (i == 0 || !std::isalnum(static_cast<unsigned char>(out[i - 1]))) &&
                             capital(out[i + 1]);
        if (!between && !opening) {
            reading.plainZeros.push_back(width);
        } else if (reading.markedZero) {
            out[i] = 'O';
        } else {
            reading.hollowZeros.push_back(i);
            reading.hollowWidths.push_back(width);
        }
    }
    reading.text = std::move(out);
    return reading;
}

}  // namespace

std::string text(const GreyPage& page, const Line& line) { return read(page, line).text; }

PieceReading read(const GreyPage& page, const Line& line) {
    if (std::any_of(line.words.begin(), line.words.end(), [](const Word& w) { return w.empty(); })) {
        Line words = line;
        std::erase_if(words.words, [](const Word& w) { return w.empty(); });
        return read(page, words);
    }
    std::string out;
    if (line.words.empty() || line.charWidth <= 0) {
        for (const Word& word : line.words) {
            if (!out.empty()) out += ' ';
            for (const Letter& l : word) out += l.text;
        }
        return out;
    }
    const double letter = line.charWidth;
    // Where a stroke may belong in the reading: an underscore read as one (where its middle is
    // placed), or the space before a word (half a letter before the word).
    constexpr std::size_t space = std::numeric_limits<std::size_t>::max();
    struct Place {
        double middle;
        std::size_t word, letter;  // the underscore's place; a space before `word` when letter is `space`
        const Stroke* stroke = nullptr;
    };
    std::vector<Place> places;
    for (std::size_t w = 0; w < line.words.size(); ++w) {
        if (w > 0) places.push_back({line.words[w].front().left - letter / 2, w, space});
        for (std::size_t l = 0; l < line.words[w].size(); ++l)
            if (line.words[w][l].text == "_") places.push_back({line.words[w][l].left + letter / 2, w, l});
    }
    const Ink ink(page, line);
    const int baseline = baselineOf(ink, line);
    const int bottom = baseline + std::max(3, (baseline - line.box.top) / 2);
    // Where every letter but quotes and the like has ink: the lower part of the letters. Above it
    // may stand strokes from below a line close above; below it, underscores.
    const int letters = baseline - (baseline - line.box.top) * 4 / 5;
    const std::vector<Stroke> found = strokes(ink, line, letters, baseline, bottom);
    // The engine places letters near, not on, their ink (off by more than a letter at times):
    // nearest first, each place taking one stroke.
    std::vector<std::pair<double, std::pair<const Stroke*, Place*>>> pairs;
    for (const Stroke& s : found)
        for (Place& p : places)
            if (const double d = std::abs((s.left + s.right) / 2.0 - p.middle); d <= 2 * letter)
                pairs.push_back({d, {&s, &p}});
    std::sort(pairs.begin(), pairs.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<const Stroke*> taken;
    for (auto& [d, pair] : pairs) {
        auto [s, p] = pair;
        if (p->stroke || std::find(taken.begin(), taken.end(), s) != taken.end()) continue;
        p->stroke = s;
        taken.push_back(s);
    }
    const auto strokeAt = [&](std::size_t word, std::size_t l) -> const Stroke* {
        for (const Place& p : places)
            if (p.word == word && p.letter == l) return p.stroke;
        return nullptr;
    };
    for (std::size_t w = 0; w < line.words.size(); ++w) {
        const Word& word = line.words[w];
        if (w > 0) {
            const Word& before = line.words[w - 1];
            // An underscore read beside the space may have been placed nearer the space.
            const Stroke* gap = strokeAt(w, space);
            const auto own = [&](const Stroke* stroke) { return stroke ? stroke : gap; };
            std::string separator = " ";
            if (before.back().text == "_") {
                if (const Stroke* s = own(strokeAt(w - 1, before.size() - 1)); s && s->closeRight) separator.clear();
            } else if (word.front().text == "_") {
                if (const Stroke* s = own(strokeAt(w, 0)); s && s->closeLeft) separator.clear();
            } else if (gap && gap->closeLeft && gap->closeRight) {
                separator = "_";
            }
            out += separator;
        }
        for (const Letter& l : word) out += l.text;
    }
    if (const std::optional<Grid> grid = gridOf(ink, line, letters, baseline))
        return fitted(out, ink, line, *grid, letters, baseline, bottom);
    return out;
}

void settleZeros(std::vector<PieceReading*>& pieces) {
    // The same font at the same size: cells as wide within 3 %, zeros as high within a tenth.
    const auto sameFont = [](const PieceReading& a, const PieceReading& b) {
        return a.pitch > 0 && b.pitch > 0 && std::abs(a.pitch - b.pitch) <= 0.03 * std::max(a.pitch, b.pitch) &&
               std::abs(a.zeroHeight - b.zeroHeight) <= std::max(1, std::max(a.zeroHeight, b.zeroHeight) / 10);
    };
    const auto shown = [&](const PieceReading& hollow, int width, std::vector<int> PieceReading::*widths) {
        return std::any_of(pieces.begin(), pieces.end(), [&](const PieceReading* other) {
            return sameFont(*other, hollow) && std::any_of((other->*widths).begin(), (other->*widths).end(),
                                                           [&](int w) { return std::abs(w - width) <= width / 16; });
        });
    };
    for (PieceReading* hollow : pieces) {
        if (hollow->hollowZeros.empty()) continue;
        const bool marked = std::any_of(pieces.begin(), pieces.end(), [&](const PieceReading* other) {
            return other->markedZero && sameFont(*other, *hollow);
        });
        for (std::size_t k = 0; k < hollow->hollowZeros.size(); ++k) {
            const std::size_t at = hollow->hollowZeros[k];
            if (at >= hollow->text.size() || hollow->text[at] != '0') continue;
            // With a plain zero, a letter drawn as the font's O is, and as its zero is not; where
            // the two are drawn alike the engine's reading stands.
            const int width = k < hollow->hollowWidths.size() ? hollow->hollowWidths[k] : 0;
            const bool asO = width > 0 && shown(*hollow, width, &PieceReading::hollowOs) &&
                             !shown(*hollow, width, &PieceReading::plainZeros);
            if (marked || asO) hollow->text[at] = 'O';
        }
        hollow->hollowZeros.clear();
        hollow->hollowWidths.clear();
    }
}

}  // namespace linuxplatform::wordgaps
