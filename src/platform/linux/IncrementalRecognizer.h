#pragma once
// Reads only what changed: a frame identical to the last one is answered from the cached lines, a
// frame in which some rows changed has only the bands around those rows read again, and the
// cached lines of the rest are kept in their reading order.
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/ScreenCapture.h"
#include "platform/linux/LineEngine.h"

namespace linuxplatform {

class IncrementalRecognizer final : public platform::TextRecognizer {
public:
    explicit IncrementalRecognizer(std::shared_ptr<LineEngine> engine);
    std::optional<std::vector<std::optional<std::string>>> recognize(const platform::Image& image) override;

    // Past this share of the rows changed, the whole page is read in one pass.
    static constexpr double wholePassShare = 0.5;
    // Changed rows this close together are read as one band.
    static constexpr int joinGap = 6;
    // Blank rows kept around a band so that the engine sees its lines whole.
    static constexpr int margin = 8;
    // Taller than this share of the page, what the engine calls a line is a region, and stays as read.
    static constexpr double tallestLineShare = 0.1;

    struct Counts {
        std::uint64_t unchanged = 0;  // frames answered from the cache
        std::uint64_t partial = 0;    // frames read band by band
        std::uint64_t whole = 0;      // frames read in one pass
        std::uint64_t rowsRead = 0;   // rows handed to the engine
    };
    Counts counts() const;

    // Rows whose hashes differ, as bands; everything when the heights differ.
    static std::vector<Band> changedBands(const std::vector<std::uint64_t>& before,
                                          const std::vector<std::uint64_t>& after);
    // The bands to read: the changed ones grown to whole cached lines and some blank rows around.
    static std::vector<Band> bandsToRead(std::vector<Band> changed, const std::vector<TextLine>& lines, int height);
    // The cached lines with those inside the bands replaced by what was read there.
    static std::vector<TextLine> merge(const std::vector<TextLine>& cached, const std::vector<Band>& bands,
                                       const std::vector<std::vector<TextLine>>& fresh, int pageHeight);

private:
    std::shared_ptr<LineEngine> engine_;
    mutable std::mutex mutex_;
    bool valid_ = false;
    int width_ = 0;
    int height_ = 0;
    bool inverted_ = false;
    std::vector<std::uint64_t> rows_;
    std::vector<TextLine> lines_;
    Counts counts_;
};

}  // namespace linuxplatform
