#include "platform/linux/recognition/PageRegions.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace linuxplatform {

namespace {

struct Gap {
    int start = 0, end = 0;  // blank rows or columns [start, end)
    int size() const { return end - start; }
};

// What may be text: pixels off the page's ground that are not part of a long run of one grey
// across or down. Those runs are the furniture around text (a scrollbar's track, a toolbar's or a
// code block's ground, borders and rules), which would otherwise join everything they span into
// one region.
std::vector<std::uint8_t> inkOf(const GreyPage& page, std::uint8_t ground) {
    const int w = page.width, h = page.height;
    const int longRun = PageRegions::furnitureRun;
    std::vector<std::uint8_t> ink(page.pixels.size());
    // Where each column's current run of one grey began; a long run is cleared once it ends.
    std::vector<int> start(static_cast<std::size_t>(w), 0);
    const auto clearDown = [&](int x, int from, int to) {
        for (int y = from; y < to; ++y) ink[static_cast<std::size_t>(y) * w + x] = 0;
    };
    for (int y = 0; y < h; ++y) {
        const std::uint8_t* row = page.pixels.data() + static_cast<std::size_t>(y) * w;
        std::uint8_t* mark = ink.data() + static_cast<std::size_t>(y) * w;
        // A row like the one above it starts and ends no run: it marks what that row marks.
        if (y > 0 && std::memcmp(row, row - w, static_cast<std::size_t>(w)) == 0) {
            std::memcpy(mark, mark - w, static_cast<std::size_t>(w));
            continue;
        }
        for (int x = 0; x < w; ++x) mark[x] = row[x] != ground;
        if (y > 0) {
            const std::uint8_t* up = row - w;
            for (int x = 0; x < w; ++x) {
                if (row[x] == up[x]) continue;
                if (y - start[static_cast<std::size_t>(x)] >= longRun && up[x] != ground)
                    clearDown(x, start[static_cast<std::size_t>(x)], y);
                start[static_cast<std::size_t>(x)] = y;
            }
        }
        for (int x = 0; x < w;) {
            int end = x + 1;
            while (end < w && row[end] == row[x]) ++end;
            if (end - x >= longRun && row[x] != ground) std::fill(mark + x, mark + end, 0);
            x = end;
        }
    }
    const std::uint8_t* last = page.pixels.data() + static_cast<std::size_t>(h - 1) * w;
    for (int x = 0; x < w; ++x)
        if (h - start[static_cast<std::size_t>(x)] >= longRun && last[x] != ground) clearDown(x, start[static_cast<std::size_t>(x)], h);
    return ink;
}

// A row or column is blank when none of its pixels inside the region may be text.
void blanks(const GreyPage& page, const std::vector<std::uint8_t>& ink, const Rect& r, std::vector<bool>& rows,
            std::vector<bool>& columns) {
    rows.assign(static_cast<std::size_t>(r.height()), true);
    // Branch-free, so that the compiler can take many pixels at a time.
    std::vector<std::uint8_t> any(static_cast<std::size_t>(r.width()), 0);
    const std::uint8_t* first = ink.data() + static_cast<std::size_t>(r.top) * page.width + r.left;
    for (int y = 0; y < r.height(); ++y) {
        const std::uint8_t* row = first + static_cast<std::size_t>(y) * page.width;
        std::uint8_t inRow = 0;
        for (int x = 0; x < r.width(); ++x) {
            inRow |= row[x];
            any[static_cast<std::size_t>(x)] |= row[x];
        }
        rows[static_cast<std::size_t>(y)] = inRow == 0;
    }
    columns.assign(static_cast<std::size_t>(r.width()), true);
    for (int x = 0; x < r.width(); ++x) columns[static_cast<std::size_t>(x)] = any[static_cast<std::size_t>(x)] == 0;
}

// Runs of blank entries strictly inside the content, and the content's extent.
std::vector<Gap> gaps(const std::vector<bool>& blank, int& begin, int& end) {
    const int n = static_cast<int>(blank.size());
    begin = 0;
    end = n;
    while (begin < n && blank[static_cast<std::size_t>(begin)]) ++begin;
    while (end > begin && blank[static_cast<std::size_t>(end - 1)]) --end;
    std::vector<Gap> out;
    for (int i = begin; i < end; ++i) {
        if (!blank[static_cast<std::size_t>(i)]) continue;
        int j = i;
        while (j < end && blank[static_cast<std::size_t>(j)]) ++j;
        out.push_back({i, j});
        i = j;
    }
    return out;
}

// The median height of the runs of rows with something in them: the height of the region's lines.
int lineHeight(const std::vector<bool>& blank, int begin, int end) {
    std::vector<int> runs;
    for (int i = begin; i < end; ++i) {
        if (blank[static_cast<std::size_t>(i)]) continue;
        int j = i;
        while (j < end && !blank[static_cast<std::size_t>(j)]) ++j;
        runs.push_back(j - i);
        i = j;
    }
    if (runs.empty()) return 0;
    std::nth_element(runs.begin(), runs.begin() + static_cast<long>(runs.size() / 2), runs.end());
    return runs[runs.size() / 2];
}

void cut(const GreyPage& page, const std::vector<std::uint8_t>& ink, Rect r, std::vector<Rect>& out,
         std::vector<bool>& rows, std::vector<bool>& columns) {
    blanks(page, ink, r, rows, columns);
    int top = 0, bottom = 0, left = 0, right = 0;
    auto across = gaps(rows, top, bottom);
    auto down = gaps(columns, left, right);
    if (top >= bottom || left >= right) return;  // nothing in it
    // Blank columns that run the region's full height no longer do once blank rows are trimmed, and
    // the other way round; the trimmed region is looked at again.
    const Rect content{r.left + left, r.top + top, r.left + right, r.top + bottom};
    if (content != r) return cut(page, ink, content, out, rows, columns);
    // Between the words of large text the blank columns are wide too: a gutter is wider than the
    // region's lines are tall, whatever the size of its text.
    const int gutter = std::max(PageRegions::columnGap, 3 * lineHeight(rows, top, bottom) / 2);
    std::erase_if(across, [](const Gap& g) { return g.size() < PageRegions::rowGap; });
    std::erase_if(down, [gutter](const Gap& g) { return g.size() < gutter; });
    const auto widest = [](const std::vector<Gap>& g) {
        int w = 0;
        for (const Gap& x : g) w = std::max(w, x.size());
        return w;
    };
    if (across.empty() && down.empty()) {
        out.push_back(r);
        return;
    }
    // Columns first when their gutter is at least as wide as the widest gap between rows.
    const bool byColumns = widest(down) >= widest(across);
    const auto& parts = byColumns ? down : across;
    int from = 0;
    const int length = byColumns ? r.width() : r.height();
    for (std::size_t i = 0; i <= parts.size(); ++i) {
        const int to = i < parts.size() ? parts[i].start : length;
        const Rect piece = byColumns ? Rect{r.left + from, r.top, r.left + to, r.bottom}
                                     : Rect{r.left, r.top + from, r.right, r.top + to};
        cut(page, ink, piece, out, rows, columns);
        if (i < parts.size()) from = parts[i].end;
    }
}

}  // namespace

std::vector<Rect> PageRegions::of(const GreyPage& page) {
    std::vector<Rect> out;
    if (page.width <= 0 || page.height <= 0 || page.pixels.size() < static_cast<std::size_t>(page.width) * page.height)
        return out;
    // The ground is the page's most common grey; four tallies, so that a run of one grey does not
    // wait on a single counter.
    std::array<std::array<std::uint32_t, 256>, 4> tallies{};
    const std::size_t n = page.pixels.size();
    const std::uint8_t* v = page.pixels.data();
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        ++tallies[0][v[i]];
        ++tallies[1][v[i + 1]];
        ++tallies[2][v[i + 2]];
        ++tallies[3][v[i + 3]];
    }
    for (; i < n; ++i) ++tallies[0][v[i]];
    std::array<std::size_t, 256> counts{};
    for (std::size_t g = 0; g < 256; ++g)
        counts[g] = std::size_t{tallies[0][g]} + tallies[1][g] + tallies[2][g] + tallies[3][g];
    const auto ground = static_cast<std::uint8_t>(std::max_element(counts.begin(), counts.end()) - counts.begin());
    std::vector<bool> rows, columns;
    cut(page, inkOf(page, ground), {0, 0, page.width, page.height}, out, rows, columns);
    for (Rect& r : out)
        r = {std::max(0, r.left - margin), std::max(0, r.top - margin), std::min(page.width, r.right + margin),
             std::min(page.height, r.bottom + margin)};
    return out;
}

}  // namespace linuxplatform
