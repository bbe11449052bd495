#include "platform/linux/recognition/TesseractRecognizer.h"

#include <leptonica/allheaders.h>
#include <omp.h>
#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "platform/linux/common/Trace.h"
#include "platform/linux/recognition/InlineSections.h"
#include "platform/linux/recognition/LinePieces.h"
#include "platform/linux/recognition/PageRegions.h"
#include "platform/linux/recognition/WordGaps.h"

namespace linuxplatform {

namespace {

// The text at the iterator, without the line ends the engine puts after lines.
std::string utf8(const tesseract::ResultIterator& it, tesseract::PageIteratorLevel level) {
    std::unique_ptr<char[]> text(it.GetUTF8Text(level));
    std::string reading = text ? std::string(text.get()) : std::string();
    while (!reading.empty() && (reading.back() == '\n' || reading.back() == '\r'))
        reading.pop_back();
    return reading;
}

// The text of the line at the iterator, read word by word (`origin` is where the engine's image
// starts on the page); leaves the iterator at the line's last word.
PieceReading lineText(tesseract::ResultIterator& it, const GreyPage& page, const Rect& origin) {
    wordgaps::Line line;
    int left = 0, top = 0, right = 0, bottom = 0;
    if (!it.BoundingBox(tesseract::RIL_TEXTLINE, &left, &top, &right, &bottom))
        return utf8(it, tesseract::RIL_TEXTLINE);
    line.box = {left + origin.left, top + origin.top, right + origin.left, bottom + origin.top};
    std::vector<int> widths;
    do {
        wordgaps::Word word;
        tesseract::ResultIterator letter(it);
        do {
            std::string text = utf8(letter, tesseract::RIL_SYMBOL);
            if (text.empty() || !letter.BoundingBox(tesseract::RIL_SYMBOL, &left, &top, &right, &bottom)) continue;
            word.push_back({std::move(text), left + origin.left});
            widths.push_back(right - left);
        } while (!letter.IsAtFinalElement(tesseract::RIL_WORD, tesseract::RIL_SYMBOL) &&
                 letter.Next(tesseract::RIL_SYMBOL));
        if (!word.empty()) line.words.push_back(std::move(word));
    } while (!it.IsAtFinalElement(tesseract::RIL_TEXTLINE, tesseract::RIL_WORD) && it.Next(tesseract::RIL_WORD));
    if (!widths.empty()) {
        // The median: the engine stretches a word's last letter over any space it split the word at.
        std::nth_element(widths.begin(), widths.begin() + widths.size() / 2, widths.end());
        line.charWidth = widths[widths.size() / 2];
    }
    return wordgaps::read(page, line);
}

}  // namespace

TesseractRecognizer::TesseractRecognizer() = default;

TesseractRecognizer::~TesseractRecognizer() {
    std::lock_guard lock(mutex_);
    if (api_) api_->End();
}

std::string TesseractRecognizer::dataPath() {
    if (const char* prefix = std::getenv("TESSDATA_PREFIX"); prefix && *prefix) return prefix;
    return "/usr/share/tesseract-ocr/5/tessdata";
}

bool TesseractRecognizer::ready() {
    if (loaded_) return true;
    if (failed_) return false;
    // Leptonica reports, on stderr, every band in which it finds nothing to read.
    setMsgSeverity(L_SEVERITY_NONE);
    api_ = std::make_unique<tesseract::TessBaseAPI>();
    // Dictionaries can only be turned off while the engine loads.
    const std::vector<std::string> names{"load_system_dawg", "load_freq_dawg"};
    const std::vector<std::string> values{"0", "0"};
    const std::string path = dataPath();
    if (api_->Init(path.c_str(), "eng", tesseract::OEM_LSTM_ONLY, nullptr, 0, &names, &values, false) != 0) {
        api_.reset();
        failed_ = true;  // a missing language file does not appear while we run
        return false;
    }
    api_->SetVariable("debug_file", "/dev/null");
    if (!inlinesections::bound()) trace::logLine("recognition: the engine's OpenMP sections go through libgomp");
    loaded_ = true;
    return true;
}

std::optional<std::vector<std::optional<std::string>>> TesseractRecognizer::recognize(const platform::Image& image) {
    const GreyPage page = GreyPage::of(image);
    std::lock_guard lock(mutex_);
    if (!ready() || !setImage(page, {0, 0, page.width, page.height})) return std::nullopt;
    api_->SetPageSegMode(tesseract::PSM_AUTO);
    if (api_->Recognize(nullptr) != 0) {
        api_->Clear();
        return std::nullopt;
    }
    const double minimumHeight = minimumTextHeight * page.height;
    std::vector<PieceReading> lines;
    if (std::unique_ptr<tesseract::ResultIterator> it(api_->GetIterator()); it && !it->Empty(tesseract::RIL_TEXTLINE)) {
        do {
            int left = 0, top = 0, right = 0, bottom = 0;
            if (!tesseract::PTIsTextType(it->BlockType()) ||
                !it->BoundingBox(tesseract::RIL_TEXTLINE, &left, &top, &right, &bottom) || bottom - top < minimumHeight)
                continue;
            lines.push_back(lineText(*it, page, {}));
        } while (it->Next(tesseract::RIL_TEXTLINE));
    }
    api_->Clear();
    std::vector<PieceReading*> settling;
    for (PieceReading& line : lines) settling.push_back(&line);
    wordgaps::settleZeros(settling);
    std::vector<std::optional<std::string>> out;
    for (PieceReading& line : lines)
        out.push_back(line.text.empty() ? std::nullopt : std::optional<std::string>(std::move(line.text)));
    return out;
}

bool TesseractRecognizer::setImage(const GreyPage& page, const Rect& rect) {
    if (page.width <= 0 || page.height <= 0 ||
        page.pixels.size() < static_cast<std::size_t>(page.width) * page.height || rect.left < 0 || rect.top < 0 ||
        rect.right > page.width || rect.bottom > page.height || rect.width() <= 0 || rect.height() <= 0)
        return false;
    // A background reader keeps to one core: the engine's parallel loops ask for a fixed number of
    // threads whose waiting spins cost several times the work itself. No level of nesting may be
    // active, so every such loop runs on this thread alone.
    omp_set_max_active_levels(0);
    api_->SetImage(page.pixels.data() + static_cast<std::size_t>(rect.top) * page.width + rect.left, rect.width(),
                   rect.height(), 1, page.width);
    api_->SetSourceResolution(144);
    return true;
}

std::optional<std::vector<LineLayout>> TesseractRecognizer::layout(const GreyPage& page, const Rect& area) {
    std::lock_guard lock(mutex_);
    if (!ready() || !setImage(page, area)) return std::nullopt;
    api_->SetPageSegMode(tesseract::PSM_AUTO);
    // Similar words merged into one, as the engine merges them before it reads a line.
    std::unique_ptr<tesseract::PageIterator> it(api_->AnalyseLayout(true));
    std::vector<LineLayout> out;
    if (!it || it->Empty(tesseract::RIL_WORD)) {
        it.reset();
        api_->Clear();
        if (auto alone = lineAlone(page, area)) out.push_back(*alone);
        return out;
    }
    // Whole boxes, dots above and below included, as the engine cuts them.
    it->SetBoundingBoxComponents(true, true);
    const int height = area.height();
    const auto onPage = [&](Rect r) { return Rect{r.left + area.left, r.top + area.top, r.right + area.left, r.bottom + area.top}; };
    bool keep = false;
    do {
        if (it->IsAtBeginningOf(tesseract::RIL_TEXTLINE)) {
            // A picture's block holds a "line" of whatever its pixels suggest; rules and noise too.
            Rect box;
            keep = tesseract::PTIsTextType(it->BlockType()) &&
                   it->BoundingBox(tesseract::RIL_TEXTLINE, &box.left, &box.top, &box.right, &box.bottom);
            if (keep) out.push_back({onPage(box), {}, box.height()});
        }
        int left = 0, top = 0, right = 0, bottom = 0, x1 = 0, y1 = 0, x2 = 0, y2 = 0;
        if (!keep || !it->BoundingBox(tesseract::RIL_WORD, &left, &top, &right, &bottom) ||
            !it->Baseline(tesseract::RIL_WORD, &x1, &y1, &x2, &y2))
            continue;
        // The engine's own cut, in its coordinates (y up): the word box grown to the row's
        // descenders and ascenders at the baseline under the word's middle, then padded.
        int wl = left, wr = right, wb = height - bottom, wt = height - top;
        const int middle = (wl + wr) / 2;
        const float b1 = static_cast<float>(height - y1), b2 = static_cast<float>(height - y2);
        const float baseline = x2 == x1 ? b1 : b1 + (b2 - b1) * static_cast<float>(middle - x1) / static_cast<float>(x2 - x1);
        float rowHeight = 0, descenders = 0, ascenders = 0;
        it->RowAttributes(&rowHeight, &descenders, &ascenders);
        const float xHeight = rowHeight - ascenders + descenders;
        if (baseline + descenders < static_cast<float>(wb)) wb = static_cast<int>(baseline + descenders);
        if (baseline + xHeight + ascenders > static_cast<float>(wt)) wt = static_cast<int>(baseline + xHeight + ascenders);
        constexpr int padding = 4;
        // Not clipped to the area: the reader fills what lies beyond it, so that a line at the
        // frame's edge is cut as it is anywhere else.
        const Rect piece{wl - padding, height - (wt + padding), wr + padding, height - (wb - padding)};
        if (piece.width() <= 0 || piece.height() <= 0) continue;
        out.back().pieces.push_back(onPage(piece));
        // The line reaches down to its descenders: the engine may leave out of its box the
        // underscores that stand there.
        out.back().box.bottom = std::max(out.back().box.bottom, out.back().pieces.back().bottom - padding);
    } while (it->Next(tesseract::RIL_WORD));
    it.reset();
    api_->Clear();
    for (std::size_t i = 0; i < out.size(); ++i) leftOut(page, area, out, i);
    return out;
}

void TesseractRecognizer::leftOut(const GreyPage& page, const Rect& area, std::vector<LineLayout>& lines,
                                  std::size_t index) {
    LineLayout& line = lines[index];
    // Ink in the middle of the line's rows: not the descenders of the line above, nor the capitals
    // of the line below.
    const int quarter = line.box.height() / 4;
    const int top = std::max(area.top, line.box.top + quarter), bottom = std::min(area.bottom, line.box.bottom - quarter);
    // What a piece of any line reads there, this line's or one in another column beside it.
    std::vector<bool> taken(static_cast<std::size_t>(area.width()));
    for (const LineLayout& other : lines)
        for (const Rect& piece : other.pieces)
            if (piece.top < bottom && piece.bottom > top)
                for (int x = std::max(piece.left, area.left); x < std::min(piece.right, area.right); ++x)
                    taken[static_cast<std::size_t>(x - area.left)] = true;
    const int ground = linepieces::groundOf(page, area);
    const auto inked = [&](int x) {
        for (int y = top; y < bottom; ++y)
            if (std::abs(page.pixels[static_cast<std::size_t>(y) * page.width + x] - ground) >= leftOutContrast) return true;
        return false;
    };
    // Stretches of ink outside every piece: the words of a phrase together, a single digit with them.
    std::vector<Rect> stretches;
    for (int x = area.left; x < area.right; ++x) {
        if (taken[static_cast<std::size_t>(x - area.left)] || !inked(x)) continue;
        if (!stretches.empty() && x - stretches.back().right < 2 * line.box.height() &&
            !std::any_of(taken.begin() + (stretches.back().right - area.left), taken.begin() + (x - area.left),
                         [](bool t) { return t; }))
            stretches.back().right = x + 1;
        else
            stretches.push_back({x, std::max(area.top, line.box.top - PageRegions::margin), x + 1,
                                 std::min(area.bottom, line.box.bottom + PageRegions::margin)});
    }
    for (Rect stretch : stretches) {
        stretch.left = std::max(area.left, stretch.left - PageRegions::margin);
        stretch.right = std::min(area.right, stretch.right + PageRegions::margin);
        const auto alone = lineAlone(page, stretch);
        if (!alone) continue;
        const Rect piece = alone->pieces.front();
        line.pieces.insert(std::find_if(line.pieces.begin(), line.pieces.end(),
                                        [&](const Rect& p) { return p.left > piece.left; }),
                           piece);
        line.box = {std::min(line.box.left, alone->box.left), std::min(line.box.top, alone->box.top),
                    std::max(line.box.right, alone->box.right), std::max(line.box.bottom, alone->box.bottom)};
    }
}

std::optional<LineLayout> TesseractRecognizer::lineAlone(const GreyPage& page, const Rect& area) {
    if (area.height() > lineAloneHeight || !setImage(page, area)) return std::nullopt;
    // A line of text is mostly its ground; a piece of a picture or a video is not, and is not read.
    const int ground = linepieces::groundOf(page, area);
    std::size_t plain = 0;
    for (int y = area.top; y < area.bottom; ++y)
        for (int x = area.left; x < area.right; ++x)
            plain += std::abs(page.pixels[static_cast<std::size_t>(y) * page.width + x] - ground) < lineAloneGround;
    if (2 * plain < static_cast<std::size_t>(area.width()) * area.height()) {
        api_->Clear();
        return std::nullopt;
    }
    api_->SetPageSegMode(tesseract::PSM_SINGLE_LINE);
    std::optional<LineLayout> line;
    if (api_->Recognize(nullptr) == 0) {
        std::unique_ptr<tesseract::ResultIterator> it(api_->GetIterator());
        Rect box;
        bool sure = it && !it->Empty(tesseract::RIL_WORD) &&
                    it->BoundingBox(tesseract::RIL_TEXTLINE, &box.left, &box.top, &box.right, &box.bottom);
        int letters = 0;
        if (sure) {
            do {
                const std::string word = utf8(*it, tesseract::RIL_WORD);
                letters += static_cast<int>(std::count_if(word.begin(), word.end(), [](unsigned char c) { return std::isalnum(c); }));
                sure = it->Confidence(tesseract::RIL_WORD) >= lineAloneConfidence;
            } while (sure && it->Next(tesseract::RIL_WORD));
        }
        if (sure && letters >= 2) {
            constexpr int padding = 4;
            const Rect onPage{box.left + area.left, box.top + area.top, box.right + area.left, box.bottom + area.top};
            line = LineLayout{onPage,
                              {{onPage.left - padding, onPage.top - padding, onPage.right + padding, onPage.bottom + padding}},
                              onPage.height()};
        }
    }
    api_->Clear();
    return line;
}

std::optional<PieceReading> TesseractRecognizer::read(const GreyPage& page, const Rect& piece) {
    std::lock_guard lock(mutex_);
    if (!ready() || !setImage(page, piece)) return std::nullopt;
    // The piece alone, as one line: the engine reads the image it is given whole.
    api_->SetPageSegMode(tesseract::PSM_RAW_LINE);
    if (api_->Recognize(nullptr) != 0) {
        api_->Clear();
        return std::nullopt;
    }
    PieceReading reading;
    if (std::unique_ptr<tesseract::ResultIterator> it(api_->GetIterator()); it && !it->Empty(tesseract::RIL_WORD)) {
        do {
            PieceReading line = lineText(*it, page, piece);
            if (line.text.empty()) continue;
            if (!reading.text.empty()) reading.text += ' ';
            for (const std::size_t at : line.hollowZeros) reading.hollowZeros.push_back(reading.text.size() + at);
            reading.hollowWidths.insert(reading.hollowWidths.end(), line.hollowWidths.begin(), line.hollowWidths.end());
            reading.hollowOs.insert(reading.hollowOs.end(), line.hollowOs.begin(), line.hollowOs.end());
            reading.plainZeros.insert(reading.plainZeros.end(), line.plainZeros.begin(), line.plainZeros.end());
            reading.text += line.text;
            if (line.pitch > 0 && (reading.pitch == 0 || (reading.zeroHeight == 0 && line.zeroHeight > 0))) {
                reading.pitch = line.pitch;
                reading.zeroHeight = line.zeroHeight;
            }
            reading.markedZero = reading.markedZero || line.markedZero;
        } while (it->Next(tesseract::RIL_TEXTLINE));
    }
    api_->Clear();
    return reading;
}

}  // namespace linuxplatform
