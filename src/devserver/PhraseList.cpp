#include "devserver/PhraseList.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

#ifndef WS_DEVSERVER_DATA_DIR
#define WS_DEVSERVER_DATA_DIR "."
#endif

namespace devserver {

namespace {

bool isWordByte(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u >= '0' && u <= '9') || (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z');
}

bool isSpaceByte(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

std::string defaultCategory(int tier) {
    switch (tier) {
    case 3: return "crisis";
    case 2: return "distress";
    default: return "strain";
    }
}

}  // namespace

std::string PhraseList::normalise(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    bool pendingSpace = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (isSpaceByte(c)) {
            pendingSpace = !out.empty();
            continue;
        }
        if (pendingSpace) {
            out.push_back(' ');
            pendingSpace = false;
        }
        // U+2018 and U+2019 (E2 80 98 / E2 80 99): people and keyboards type both apostrophes.
        if (static_cast<unsigned char>(c) == 0xE2 && i + 2 < text.size() &&
            static_cast<unsigned char>(text[i + 1]) == 0x80 &&
            (static_cast<unsigned char>(text[i + 2]) == 0x98 ||
             static_cast<unsigned char>(text[i + 2]) == 0x99)) {
            out.push_back('\'');
            i += 2;
            continue;
        }
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        out.push_back(c);
    }
    return out;
}

PhraseList PhraseList::fromJson(const std::string& text) {
    const auto doc = nlohmann::json::parse(text, nullptr, false);
    if (doc.is_discarded() || !doc.is_array()) throw std::runtime_error("phrase list is not a JSON array");
    PhraseList list;
    for (std::size_t i = 0; i < doc.size(); ++i) {
        const auto& item = doc[i];
        const std::string where = "phrase list entry " + std::to_string(i);
        if (!item.is_object()) throw std::runtime_error(where + " is not an object");
        const auto phrase = item.find("phrase");
        const auto tier = item.find("tier");
        if (phrase == item.end() || !phrase->is_string())
            throw std::runtime_error(where + ": \"phrase\" must be a string");
        if (tier == item.end() || !tier->is_number_integer())
            throw std::runtime_error(where + ": \"tier\" must be an integer");
        Entry entry;
        entry.phrase = normalise(phrase->get<std::string>());
        entry.tier = tier->get<int>();
        if (entry.phrase.empty()) throw std::runtime_error(where + ": empty phrase");
        if (entry.tier < 1 || entry.tier > 3) throw std::runtime_error(where + ": tier must be 1, 2 or 3");
        const auto category = item.find("category");
        if (category != item.end() && !category->is_string())
            throw std::runtime_error(where + ": \"category\" must be a string");
        entry.category = category != item.end() ? category->get<std::string>() : defaultCategory(entry.tier);
        list.entries_.push_back(std::move(entry));
    }
    return list;
}

PhraseList PhraseList::fromFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read phrase list " + path);
    std::ostringstream buffer;
    buffer << in.rdbuf();
    try {
        return fromJson(buffer.str());
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(path + ": " + e.what());
    }
}

std::string PhraseList::defaultPath() { return std::string(WS_DEVSERVER_DATA_DIR) + "/phrases.json"; }

PhraseList PhraseList::loadDefault() {
    std::ifstream probe(defaultPath());
    if (probe) return fromFile(defaultPath());
    return fromJson(embeddedDefault);
}

std::vector<PhraseHit> PhraseList::match(const std::string& text) const {
    const std::string hay = normalise(text);
    struct Found {
        std::size_t at;
        const Entry* entry;
    };
    std::vector<Found> found;
    for (const auto& entry : entries_) {
        for (std::size_t pos = hay.find(entry.phrase); pos != std::string::npos;
             pos = hay.find(entry.phrase, pos + 1)) {
            const std::size_t end = pos + entry.phrase.size();
            const bool startsWord = pos == 0 || !isWordByte(hay[pos - 1]) || !isWordByte(entry.phrase.front());
            const bool endsWord = end == hay.size() || !isWordByte(hay[end]) || !isWordByte(entry.phrase.back());
            if (startsWord && endsWord) {
                found.push_back({pos, &entry});
                break;
            }
        }
    }
    std::stable_sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
        if (a.entry->tier != b.entry->tier) return a.entry->tier > b.entry->tier;
        return a.at < b.at;
    });
    std::vector<PhraseHit> hits;
    hits.reserve(found.size());
    for (const auto& f : found) {
        const bool seen = std::any_of(hits.begin(), hits.end(),
                                      [&](const PhraseHit& h) { return h.phrase == f.entry->phrase; });
        if (!seen) hits.push_back({f.entry->tier, f.entry->phrase, f.entry->category});
    }
    return hits;
}

}  // namespace devserver
