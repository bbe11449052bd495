#pragma once

#include <string>
#include <vector>

namespace devserver {

// One matched phrase of the list, in the list's own (lower-case) spelling.
struct PhraseHit {
    int tier = 0;  // 1 strain, 2 distress, 3 crisis
    std::string phrase;
    std::string category;
};

// The tiered phrase list behind every judgment. Matching is case-insensitive and on whole
// words, so "hopeless" is found in "Hopeless." but "die" would not be found in "diet".
class PhraseList {
public:
    struct Entry {
        std::string phrase;  // normalised as the text is
        int tier = 0;
        std::string category;
    };

    // Parses a JSON array of {"phrase", "tier" (1..3), "category" (optional)}.
    // Throws std::runtime_error on anything else, naming what is wrong.
    static PhraseList fromJson(const std::string& text);
    static PhraseList fromFile(const std::string& path);

    // The list beside the sources when it can be read, else the compiled-in copy.
    static PhraseList loadDefault();
    static std::string defaultPath();
    static const char* const embeddedDefault;

    // Hits ordered by tier, highest first, then by where they occur; each phrase at most once.
    std::vector<PhraseHit> match(const std::string& text) const;

    const std::vector<Entry>& entries() const { return entries_; }

    // ASCII lower case, typographic apostrophes made plain, runs of white space made one space.
    static std::string normalise(const std::string& text);

private:
    std::vector<Entry> entries_;
};

}  // namespace devserver
