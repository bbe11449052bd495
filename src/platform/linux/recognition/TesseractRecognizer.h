#pragma once
// Text recognition with Tesseract 5 (LSTM engine, English, no dictionaries), one line per entry.
#include <memory>
#include <mutex>
#include <string>

#include "platform/ScreenCapture.h"
#include "platform/linux/recognition/LineEngine.h"

namespace tesseract {
class TessBaseAPI;
}

namespace linuxplatform {

class TesseractRecognizer final : public platform::TextRecognizer, public LineEngine {
public:
    TesseractRecognizer();
    ~TesseractRecognizer() override;
    // The whole image in one pass.
    std::optional<std::vector<std::optional<std::string>>> recognize(const platform::Image& image) override;
    std::optional<std::vector<LineLayout>> layout(const GreyPage& page, const Rect& area) override;
    std::optional<PieceReading> read(const GreyPage& page, const Rect& piece) override;

    // Where the trained data lives: $TESSDATA_PREFIX, else the Debian folder.
    static std::string dataPath();

private:
    bool ready();  // loads the engine on first use; call with mutex_ held
    // Hands the engine a rectangle of the page; false when the page does not hold its pixels.
    bool setImage(const GreyPage& page, const Rect& rect);

    std::mutex mutex_;
    std::unique_ptr<tesseract::TessBaseAPI> api_;
    bool loaded_ = false;
    bool failed_ = false;
};

}  // namespace linuxplatform
