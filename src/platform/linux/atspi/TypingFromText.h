#pragma once
// Key-downs told by the focused field's text changes, for toolkits that tell no keys (GTK 4). Only
// positions and lengths are looked at, never the text. A typed or pasted insert is one key; a
// deleted character is a BackSpace (51) when the caret stood after it and a Delete (117) when
// before; a deleted selection is one BackSpace; a selection typed over (a delete at once followed
// by an insert at the same place) is the one key that replaced it. Times are the caller's clock.
#include <chrono>
#include <optional>
#include <vector>

namespace linuxplatform {

class TypingFromText {
public:
    using Time = std::chrono::steady_clock::time_point;
    // Toolkits send a replacement's delete and insert together; keys are further apart than this.
    static constexpr std::chrono::milliseconds kReplaceWindow{30};

    // Each returns the key codes that are known now, in order.
    std::vector<int> caretMoved(int offset);
    std::vector<int> inserted(int offset, int length, Time now);
    std::vector<int> deleted(int offset, int length, Time now);
    // A delete that nothing replaced, once its window is over.
    std::vector<int> due(Time now);
    // When `due` has something to tell.
    std::optional<Time> deadline() const;
    // Another field: its caret is not known yet; what is held is told.
    std::vector<int> restart();

private:
    std::vector<int> release();

    struct Held {
        int code;
        int offset;
        Time at;
    };
    std::optional<int> caret_;
    std::optional<Held> held_;
};

}  // namespace linuxplatform
