#include "backend/Text.h"

#include <memory>

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

namespace Text {
namespace {

// Whitespace and newlines: the separators (Zs, Zl, Zp), tab to carriage return, and NEL.
bool isTrimmable(UChar32 c) {
    if (c >= 0x09 && c <= 0x0D) return true;
    if (c == 0x85) return true;
    const int8_t t = u_charType(c);
    return t == U_SPACE_SEPARATOR || t == U_LINE_SEPARATOR || t == U_PARAGRAPH_SEPARATOR;
}

// One character iterator per thread; creating one costs far more than using it.
icu::BreakIterator* characters() {
    thread_local std::unique_ptr<icu::BreakIterator> it = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> b(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        if (U_FAILURE(status)) b.reset();
        return b;
    }();
    return it.get();
}

}  // namespace

bool isValidUtf8(std::string_view text) {
    const auto* s = reinterpret_cast<const uint8_t*>(text.data());
    const int32_t n = static_cast<int32_t>(text.size());
    int32_t i = 0;
    while (i < n) {
        UChar32 c;
        U8_NEXT(s, i, n, c);
        if (c < 0) return false;
    }
    return true;
}

std::string toValidUtf8(std::string_view text) {
    if (isValidUtf8(text)) return std::string(text);
    std::string out;
    icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size()))).toUTF8String(out);
    return out;
}

std::string trim(std::string_view text) {
    const auto* s = reinterpret_cast<const uint8_t*>(text.data());
    const int32_t n = static_cast<int32_t>(text.size());
    int32_t begin = 0;
    while (begin < n) {
        int32_t next = begin;
        UChar32 c;
        U8_NEXT(s, next, n, c);
        if (c < 0 || !isTrimmable(c)) break;
        begin = next;
    }
    int32_t end = n;
    while (end > begin) {
        int32_t prev = end;
        UChar32 c;
        U8_PREV(s, begin, prev, c);
        if (c < 0 || !isTrimmable(c)) break;
        end = prev;
    }
    return std::string(text.substr(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin)));
}

std::size_t length(std::string_view text) {
    if (text.empty()) return 0;
    const icu::UnicodeString u = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    icu::BreakIterator* it = characters();
    if (!it) return static_cast<std::size_t>(u.countChar32());
    it->setText(u);
    std::size_t count = 0;
    for (int32_t p = it->next(); p != icu::BreakIterator::DONE; p = it->next()) ++count;
    return count;
}

std::string prefix(std::string_view text, std::size_t count) {
    const icu::UnicodeString u = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    icu::BreakIterator* it = characters();
    int32_t cut = u.length();
    if (it) {
        it->setText(u);
        std::size_t seen = 0;
        for (int32_t p = it->next(); p != icu::BreakIterator::DONE; p = it->next()) {
            if (++seen == count) {
                cut = p;
                break;
            }
        }
        if (count == 0) cut = 0;
    }
    std::string out;
    u.tempSubString(0, cut).toUTF8String(out);
    return out;
}

}  // namespace Text
