#include "platform/linux/IncrementalRecognizer.h"

#include <algorithm>
#include <limits>

#include "platform/linux/FrameHash.h"

namespace linuxplatform {

namespace {

bool overlaps(const TextLine& line, const Band& band) { return line.top < band.bottom && line.bottom > band.top; }

// The engine also reports regions (a window's frame, a picture) as page-tall "lines"; they are
// neither read again with a band nor grown to, or every change would read the page.
bool isLine(const TextLine& line, int pageHeight) {
    return line.bottom - line.top <= IncrementalRecognizer::tallestLineShare * pageHeight;
}

int overlap(int a0, int a1, int b0, int b1) { return std::max(0, std::min(a1, b1) - std::max(a0, b0)); }

// The cached line of `band` that a box (a line or a word) covers most, or `cached.size()` for none.
template <typename Box>
std::size_t mostCovered(const Box& box, const std::vector<TextLine>& cached, const std::vector<int>& bandOf, int band) {
    long best = 0;
    std::size_t slot = cached.size();
    for (std::size_t i = 0; i < cached.size(); ++i) {
        if (bandOf[i] != band) continue;
        const long area = static_cast<long>(overlap(box.left, box.right, cached[i].left, cached[i].right)) *
                          overlap(box.top, box.bottom, cached[i].top, cached[i].bottom);
        if (area > best) best = area, slot = i;
    }
    return slot;
}

std::vector<std::optional<std::string>> texts(const std::vector<TextLine>& lines) {
    std::vector<std::optional<std::string>> out;
    out.reserve(lines.size());
    for (const auto& line : lines) out.push_back(line.text);
    return out;
}

// Sorted by top; overlapping or nearly touching bands become one.
std::vector<Band> joined(std::vector<Band> bands) {
    std::sort(bands.begin(), bands.end(), [](const Band& a, const Band& b) { return a.top < b.top; });
    std::vector<Band> out;
    for (const Band& b : bands) {
        if (!out.empty() && b.top <= out.back().bottom + IncrementalRecognizer::joinGap)
            out.back().bottom = std::max(out.back().bottom, b.bottom);
        else
            out.push_back(b);
    }
    return out;
}

// A band read alone can join lines of two columns that the whole page reads apart. Each word
// goes to the cached line it covers most; a word beside no cached line (typed past a line's end)
// stays with the word before it, unless a column gap parts them. When that gives lines of
// different columns, the line is parted into one line per column; otherwise it stays whole.
std::vector<TextLine> parted(const TextLine& line, const std::vector<TextLine>& cached, const std::vector<int>& bandOf,
                             int band) {
    const std::size_t n = cached.size();
    if (line.words.size() < 2) return {line};
    std::vector<std::size_t> slot;
    for (const Word& word : line.words) slot.push_back(mostCovered(word, cached, bandOf, band));
    // Wider than this, a space between words is the gap between columns.
    const int columnGap = 2 * std::max(1, line.bottom - line.top);
    const auto near = [&](std::size_t a, std::size_t b) {
        return line.words[b].left - line.words[a].right <= columnGap;
    };
    for (std::size_t w = 1; w < slot.size(); ++w)
        if (slot[w] == n && slot[w - 1] != n && near(w - 1, w)) slot[w] = slot[w - 1];
    for (std::size_t w = slot.size() - 1; w-- > 0;)
        if (slot[w] == n && slot[w + 1] != n && near(w, w + 1)) slot[w] = slot[w + 1];

    std::vector<std::size_t> order;  // the slots in the order their first words come
    std::vector<TextLine> pieces;
    for (std::size_t w = 0; w < slot.size(); ++w) {
        const auto at = std::find(order.begin(), order.end(), slot[w]);
        const Word& word = line.words[w];
        if (at == order.end()) {
            order.push_back(slot[w]);
            pieces.push_back({word.left, word.top, word.right, word.bottom, word.text, {word}});
            continue;
        }
        TextLine& piece = pieces[static_cast<std::size_t>(at - order.begin())];
        piece.left = std::min(piece.left, word.left);
        piece.top = std::min(piece.top, word.top);
        piece.right = std::max(piece.right, word.right);
        piece.bottom = std::max(piece.bottom, word.bottom);
        *piece.text += ' ' + word.text;
        piece.words.push_back(word);
    }
    if (pieces.size() < 2) return {line};
    // Columns do not overlap side by side; lines of one column, read apart, do.
    for (std::size_t a = 0; a < pieces.size(); ++a)
        for (std::size_t b = a + 1; b < pieces.size(); ++b) {
            const auto& x = order[a] < n ? cached[order[a]] : pieces[a];
            const auto& y = order[b] < n ? cached[order[b]] : pieces[b];
            if (overlap(x.left, x.right, y.left, y.right) > 0 ||
                overlap(pieces[a].left, pieces[a].right, pieces[b].left, pieces[b].right) > 0)
                return {line};
        }
    return pieces;
}

}  // namespace

IncrementalRecognizer::IncrementalRecognizer(std::shared_ptr<LineEngine> engine) : engine_(std::move(engine)) {}

IncrementalRecognizer::Counts IncrementalRecognizer::counts() const {
    std::lock_guard lock(mutex_);
    return counts_;
}

std::vector<Band> IncrementalRecognizer::changedBands(const std::vector<std::uint64_t>& before,
                                                      const std::vector<std::uint64_t>& after) {
    const int height = static_cast<int>(after.size());
    if (before.size() != after.size()) return height > 0 ? std::vector<Band>{{0, height}} : std::vector<Band>{};
    std::vector<Band> out;
    for (int y = 0; y < height; ++y) {
        if (before[y] == after[y]) continue;
        if (!out.empty() && y <= out.back().bottom + joinGap) out.back().bottom = y + 1;
        else out.push_back({y, y + 1});
    }
    return out;
}

std::vector<Band> IncrementalRecognizer::bandsToRead(std::vector<Band> changed, const std::vector<TextLine>& lines,
                                                     int height) {
    std::vector<Band> bands = joined(std::move(changed));
    // Grow to whole lines until no cached line is cut by a band edge.
    for (bool grew = true; grew;) {
        grew = false;
        for (Band& b : bands) {
            for (const auto& line : lines) {
                if (!isLine(line, height) || !overlaps(line, b)) continue;
                if (line.top < b.top || line.bottom > b.bottom) {
                    b.top = std::min(b.top, line.top);
                    b.bottom = std::max(b.bottom, line.bottom);
                    grew = true;
                }
            }
        }
        const std::size_t before = bands.size();
        bands = joined(std::move(bands));
        grew = grew || bands.size() != before;
    }
    // Blank rows around each band, never into a line that stays.
    for (Band& b : bands) {
        int above = 0, below = height;
        for (const auto& line : lines) {
            if (!isLine(line, height)) continue;
            if (line.bottom <= b.top) above = std::max(above, line.bottom);
            if (line.top >= b.bottom) below = std::min(below, line.top);
        }
        b.top = std::max({0, above, b.top - margin});
        b.bottom = std::min({height, below, b.bottom + margin});
    }
    return joined(std::move(bands));
}

std::vector<TextLine> IncrementalRecognizer::merge(const std::vector<TextLine>& cached, const std::vector<Band>& bands,
                                                   const std::vector<std::vector<TextLine>>& fresh, int pageHeight) {
    const std::size_t n = cached.size();
    std::vector<int> bandOf(n, -1);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t b = 0; b < bands.size() && isLine(cached[i], pageHeight); ++b)
            if (overlaps(cached[i], bands[b])) {
                bandOf[i] = static_cast<int>(b);
                break;
            }
    // Each new line takes the place of the old line it covers most, so columns keep their order;
    // a line where there was none goes after the nearest line above it, else before the one below.
    std::vector<std::vector<TextLine>> instead(n), after(n), before(n);
    std::vector<TextLine> trailing;
    for (std::size_t b = 0; b < fresh.size() && b < bands.size(); ++b) {
        std::vector<TextLine> read;
        for (const auto& line : fresh[b]) {
            auto pieces = parted(line, cached, bandOf, static_cast<int>(b));
            read.insert(read.end(), std::make_move_iterator(pieces.begin()), std::make_move_iterator(pieces.end()));
        }
        for (const auto& line : read) {
            const std::size_t slot = mostCovered(line, cached, bandOf, static_cast<int>(b));
            if (slot < n) {
                instead[slot].push_back(line);
                continue;
            }
            std::size_t above = n, below = n;
            int aboveBottom = std::numeric_limits<int>::min(), belowTop = std::numeric_limits<int>::max();
            for (std::size_t i = 0; i < n; ++i) {
                if (!isLine(cached[i], pageHeight) ||
                    overlap(line.left, line.right, cached[i].left, cached[i].right) == 0)
                    continue;
                if (cached[i].top <= line.top && cached[i].bottom > aboveBottom) aboveBottom = cached[i].bottom, above = i;
                if (cached[i].top > line.top && cached[i].top < belowTop) belowTop = cached[i].top, below = i;
            }
            if (above < n) after[above].push_back(line);
            else if (below < n) before[below].push_back(line);
            else trailing.push_back(line);
        }
    }
    std::vector<TextLine> out;
    for (std::size_t i = 0; i < n; ++i) {
        out.insert(out.end(), before[i].begin(), before[i].end());
        if (bandOf[i] < 0) out.push_back(cached[i]);
        else out.insert(out.end(), instead[i].begin(), instead[i].end());
        out.insert(out.end(), after[i].begin(), after[i].end());
    }
    out.insert(out.end(), trailing.begin(), trailing.end());
    return out;
}

std::optional<std::vector<std::optional<std::string>>> IncrementalRecognizer::recognize(const platform::Image& image) {
    auto rows = framehash::rows(image);
    if (rows.empty() || !engine_) return std::nullopt;
    std::lock_guard lock(mutex_);
    const bool sameSize = valid_ && image.width == width_ && image.height == height_;
    if (sameSize && rows == rows_) {
        ++counts_.unchanged;
        return texts(lines_);
    }
    const GreyPage page = GreyPage::of(image);
    bool whole = !sameSize || page.inverted != inverted_;
    std::vector<Band> bands;
    if (!whole) {
        bands = bandsToRead(changedBands(rows_, rows), lines_, page.height);
        long covered = 0;
        for (const Band& b : bands) covered += b.height();
        whole = covered > wholePassShare * page.height;
    }
    if (whole) bands = {Band{0, page.height}};
    auto read = engine_->lines(page, bands);
    if (!read || read->size() != bands.size()) {
        valid_ = false;  // the next frame is read whole
        return std::nullopt;
    }
    for (const Band& b : bands) counts_.rowsRead += static_cast<std::uint64_t>(b.height());
    if (whole) {
        ++counts_.whole;
        lines_ = std::move(read->front());
    } else {
        ++counts_.partial;
        lines_ = merge(lines_, bands, *read, page.height);
    }
    rows_ = std::move(rows);
    width_ = page.width;
    height_ = page.height;
    inverted_ = page.inverted;
    valid_ = true;
    return texts(lines_);
}

}  // namespace linuxplatform
