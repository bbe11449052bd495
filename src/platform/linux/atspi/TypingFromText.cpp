#include "platform/linux/atspi/TypingFromText.h"

namespace linuxplatform {

namespace {
constexpr int kBackSpace = 51, kDelete = 117, kOther = 0;
}

std::vector<int> TypingFromText::release() {
    std::vector<int> keys;
    if (held_) keys.push_back(held_->code);
    held_.reset();
    return keys;
}

// A replacement moves the caret only after its insert: a move first means the delete stood alone.
std::vector<int> TypingFromText::caretMoved(int offset) {
    caret_ = offset;
    return release();
}

std::vector<int> TypingFromText::inserted(int offset, int length, Time now) {
    std::vector<int> keys;
    const bool replaces = held_ && held_->offset == offset && now - held_->at <= kReplaceWindow;
    if (!replaces) keys = release();
    held_.reset();
    keys.push_back(kOther);
    caret_ = offset + length;
    return keys;
}

std::vector<int> TypingFromText::deleted(int offset, int length, Time now) {
    auto keys = release();
    const bool forward = length == 1 && caret_ && *caret_ <= offset;
    held_ = Held{forward ? kDelete : kBackSpace, offset, now};
    caret_ = offset;
    return keys;
}

std::vector<int> TypingFromText::due(Time now) {
    if (held_ && now - held_->at >= kReplaceWindow) return release();
    return {};
}

std::optional<TypingFromText::Time> TypingFromText::deadline() const {
    if (!held_) return std::nullopt;
    return held_->at + kReplaceWindow;
}

std::vector<int> TypingFromText::restart() {
    caret_.reset();
    return release();
}

}  // namespace linuxplatform
