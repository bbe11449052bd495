#include "platform/linux/TesseractRecognizer.h"

#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>

#include <cstdlib>

namespace linuxplatform {

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
    if (image.width <= 0 || image.height <= 0 ||
        image.rgba.size() < static_cast<std::size_t>(image.width) * image.height * 4)
        return std::nullopt;
    std::lock_guard lock(mutex_);
    if (!ready()) return std::nullopt;

    // Grey is all the engine looks at; converting here keeps the channel order out of it.
    std::vector<unsigned char> grey(static_cast<std::size_t>(image.width) * image.height);
    for (std::size_t i = 0; i < grey.size(); ++i) {
        const unsigned char* p = image.rgba.data() + i * 4;
        grey[i] = static_cast<unsigned char>((299 * p[0] + 587 * p[1] + 114 * p[2] + 500) / 1000);
    }
    // The engine reads dark text on light ground first and retries every failed line inverted;
    // a mostly dark screen (a dark theme) is turned over once instead, which halves its cost.
    unsigned long long sum = 0;
    for (unsigned char g : grey) sum += g;
    if (sum < 128ull * grey.size())
        for (unsigned char& g : grey) g = static_cast<unsigned char>(255 - g);
    api_->SetImage(grey.data(), image.width, image.height, 1, image.width);
    api_->SetSourceResolution(144);
    if (api_->Recognize(nullptr) != 0) {
        api_->Clear();
        return std::nullopt;
    }
    std::vector<std::optional<std::string>> lines;
    const double minimumHeight = minimumTextHeight * image.height;
    std::unique_ptr<tesseract::ResultIterator> it(api_->GetIterator());
    if (it) {
        do {
            int left = 0, top = 0, right = 0, bottom = 0;
            if (!it->BoundingBox(tesseract::RIL_TEXTLINE, &left, &top, &right, &bottom)) continue;
            if (bottom - top < minimumHeight) continue;
            std::unique_ptr<char[]> text(it->GetUTF8Text(tesseract::RIL_TEXTLINE));
            std::string line = text ? std::string(text.get()) : std::string();
            while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
            if (line.empty()) lines.emplace_back(std::nullopt);
            else lines.emplace_back(std::move(line));
        } while (it->Next(tesseract::RIL_TEXTLINE));
    }
    api_->Clear();
    return lines;
}

}  // namespace linuxplatform
