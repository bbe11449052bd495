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
    // A line too short for the layout to make a line of ("1.0" alone in a column of versions,
    // "OK"), in an area no higher than a line and mostly ground: kept when the engine reads it
    // surely and finds two letters or digits in it. An icon or a rule gives a dash or a lone O at
    // most. Call with mutex_ held.
    std::optional<LineLayout> lineAlone(const GreyPage& page, const Rect& area);
    static constexpr int lineAloneHeight = 80;
    static constexpr float lineAloneConfidence = 60;
    static constexpr int lineAloneGround = 24;  // a pixel this near the ground's grey is ground
    // What the layout left out of a line ("1.1   8 Nov" before "2004 Add void casting…" in a column
    // of versions): each stretch of ink in the line's rows that no piece of any line covers, read
    // alone and kept as lineAlone keeps it, becomes a piece of the line. Call with mutex_ held.
    void leftOut(const GreyPage& page, const Rect& area, std::vector<LineLayout>& lines, std::size_t index);
    static constexpr int leftOutContrast = 96;  // ink: this far from the ground, anti-aliasing aside

    std::mutex mutex_;
    std::unique_ptr<tesseract::TessBaseAPI> api_;
    bool loaded_ = false;
    bool failed_ = false;
};

}  // namespace linuxplatform
