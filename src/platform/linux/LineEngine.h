#pragma once
// What recognises the text lines of horizontal bands of a grey page.
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/GreyPage.h"

namespace linuxplatform {

// Rows [top, bottom) across the whole width of a page.
struct Band {
    int top = 0;
    int bottom = 0;
    int height() const { return bottom - top; }
    bool operator==(const Band&) const = default;
};

struct Word {
    int left = 0, top = 0, right = 0, bottom = 0;  // page pixels, right and bottom exclusive
    std::string text;
    bool operator==(const Word&) const = default;
};

struct TextLine {
    int left = 0, top = 0, right = 0, bottom = 0;  // page pixels, right and bottom exclusive
    std::optional<std::string> text;               // nothing when the line read as empty
    std::vector<Word> words;                       // in reading order, where the engine tells them
    bool operator==(const TextLine&) const = default;
};

class LineEngine {
public:
    virtual ~LineEngine() = default;
    // For each band, its lines in reading order, each wholly inside the band; nothing on failure.
    virtual std::optional<std::vector<std::vector<TextLine>>> lines(const GreyPage& page,
                                                                    const std::vector<Band>& bands) = 0;
};

}  // namespace linuxplatform
