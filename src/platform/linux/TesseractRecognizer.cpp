#include "platform/linux/TesseractRecognizer.h"

#include <leptonica/allheaders.h>
#include <omp.h>
#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>

#include <algorithm>
#include <cstdlib>

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
    // Screens mix columns, menus and labels: full layout analysis keeps reading order.
    api_->SetPageSegMode(tesseract::PSM_AUTO);
    api_->SetVariable("debug_file", "/dev/null");
    loaded_ = true;
    return true;
}

std::optional<std::vector<std::optional<std::string>>> TesseractRecognizer::recognize(const platform::Image& image) {
    const GreyPage page = GreyPage::of(image);
    if (page.width == 0) return std::nullopt;
    auto bands = lines(page, {Band{0, page.height}});
    if (!bands) return std::nullopt;
    std::vector<std::optional<std::string>> out;
    for (auto& line : bands->front()) out.push_back(std::move(line.text));
    return out;
}

std::optional<std::vector<std::vector<TextLine>>> TesseractRecognizer::lines(const GreyPage& page,
                                                                             const std::vector<Band>& bands) {
    if (page.width <= 0 || page.height <= 0 ||
        page.pixels.size() < static_cast<std::size_t>(page.width) * page.height)
        return std::nullopt;
    std::lock_guard lock(mutex_);
    if (!ready()) return std::nullopt;
    // A background reader keeps to one core: the engine's parallel loops ask for a fixed number of
    // threads whose waiting spins cost several times the work itself. No level of nesting may be
    // active, so every such loop runs on this thread alone.
    omp_set_max_active_levels(0);
    const double minimumHeight = minimumTextHeight * page.height;
    std::vector<std::vector<TextLine>> out;
    for (const Band& requested : bands) {
        const int top = std::clamp(requested.top, 0, page.height);
        const int bottom = std::clamp(requested.bottom, top, page.height);
        auto& found = out.emplace_back();
        if (bottom == top || bottom - top < minimumHeight) continue;
        // Each band is a page of its own: the engine reads a rectangle of a larger page poorly.
        api_->SetImage(page.pixels.data() + static_cast<std::size_t>(top) * page.width, page.width, bottom - top, 1,
                       page.width);
        api_->SetSourceResolution(144);
        if (api_->Recognize(nullptr) != 0) {
            api_->Clear();
            return std::nullopt;
        }
        std::unique_ptr<tesseract::ResultIterator> it(api_->GetIterator());
        if (!it) continue;
        // Word by word, so that a line read across two columns can be parted again.
        bool keep = false;
        do {
            if (it->IsAtBeginningOf(tesseract::RIL_TEXTLINE)) {
                TextLine line;
                keep = it->BoundingBox(tesseract::RIL_TEXTLINE, &line.left, &line.top, &line.right, &line.bottom) &&
                       line.bottom - line.top >= minimumHeight;
                if (!keep) continue;
                line.top = std::clamp(line.top + top, top, bottom);
                line.bottom = std::clamp(line.bottom + top, top, bottom);
                std::string reading = utf8(*it, tesseract::RIL_TEXTLINE);
                if (!reading.empty()) line.text = std::move(reading);
                found.push_back(std::move(line));
            }
            Word word;
            if (!keep || !it->BoundingBox(tesseract::RIL_WORD, &word.left, &word.top, &word.right, &word.bottom))
                continue;
            word.text = utf8(*it, tesseract::RIL_WORD);
            if (word.text.empty()) continue;
            word.top = std::clamp(word.top + top, top, bottom);
            word.bottom = std::clamp(word.bottom + top, top, bottom);
            found.back().words.push_back(std::move(word));
        } while (it->Next(tesseract::RIL_WORD));
    }
    api_->Clear();
    return out;
}

}  // namespace linuxplatform
