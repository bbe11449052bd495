#pragma once
// Reads a frame as one whole reading of it would: the frame is parted into regions at blank gaps
// (or taken whole), layout analysis of each region decides its lines and their order, and each line
// is read from its own pixels alone. Layouts and readings are kept by the pixels they came from, so
// a paragraph or a line that did not change or only moved (scrolling, a window moved) is not laid
// out or read again, and the text of a frame never depends on the frames before it. Recognition
// runs on a thread of its own at background priority, and keeps to a small share of a processor
// while others want one, so it yields to the user's work.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/ScreenCapture.h"
#include "platform/linux/recognition/LineEngine.h"
#include "platform/linux/recognition/ReadingPace.h"

namespace linuxplatform {

struct ReadingOptions {
    bool cached = true;   // false: every frame laid out and read afresh, the reference for the cached reading
    bool regions = true;  // false: the frame laid out whole
};

class IncrementalRecognizer final : public platform::TextRecognizer {
public:
    using Options = ReadingOptions;
    explicit IncrementalRecognizer(std::shared_ptr<LineEngine> engine, Options options = {});
    ~IncrementalRecognizer() override;
    IncrementalRecognizer(const IncrementalRecognizer&) = delete;
    IncrementalRecognizer& operator=(const IncrementalRecognizer&) = delete;

    std::optional<std::vector<std::optional<std::string>>> recognize(const platform::Image& image) override;

    // Puts the calling thread at background priority: SCHED_BATCH (its wakeups never preempt the
    // user's threads) at nice `backgroundNice`, for good (an unprivileged thread cannot come back
    // from it). Beside a busy thread of its own session it gets about a tenth of a core; against
    // other sessions' threads it keeps its own pace (ReadingPace). False when either could not be set.
    static constexpr int backgroundNice = 10;
    static bool backgroundPriority();

    // Readings kept; past this many, those the last frame did not use are forgotten.
    static constexpr std::size_t cacheLines = 4000;

    struct Counts {
        std::uint64_t unchanged = 0;    // frames identical to the last one, answered without the engine
        std::uint64_t laidOut = 0;      // regions whose layout was analysed
        std::uint64_t layoutsCached = 0;  // regions whose layout came from the cache
        std::uint64_t piecesRead = 0;   // line pieces handed to the engine
        std::uint64_t piecesCached = 0; // line pieces answered from the cache
        bool background = false;        // the recognition thread runs at background priority
        std::chrono::milliseconds paused{};  // time the reading paused for others' work
    };
    Counts counts() const;

private:
    using Lines = std::vector<std::optional<std::string>>;
    std::optional<Lines> read(const platform::Image& image);  // on the recognition thread
    void loop();
    // After a piece of work: false when the reader is stopping. After the last, the pause is kept
    // for `loop` to take once the frame's reading is handed over.
    bool paced(bool last = false);
    bool rest(std::unique_lock<std::mutex>& lock, ReadingPace::Nanoseconds pause);  // false when stopping

    std::shared_ptr<LineEngine> engine_;
    const bool cached_;
    const bool regions_;

    // Touched only on the recognition thread.
    std::vector<std::uint64_t> rows_;
    int width_ = 0;
    std::optional<Lines> last_;
    struct Entry {
        PieceReading reading;
        std::uint64_t frame = 0;  // the last frame that used it
    };
    std::unordered_map<std::uint64_t, Entry> cache_;
    struct Laid {
        std::vector<LineLayout> lines;  // relative to the region's corner
        std::uint64_t frame = 0;
    };
    std::unordered_map<std::uint64_t, Laid> layouts_;
    std::uint64_t frame_ = 0;
    std::chrono::steady_clock::time_point trimmed_;  // when freed memory was last given back
    ReadingPace pace_;
    bool paceKnown_ = true;  // the kernel tells how contended the machine is
    ReadingPace::Nanoseconds owed_{};

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::function<void()> job_;
    bool stopping_ = false;
    Counts counts_;
    std::thread thread_;
};

}  // namespace linuxplatform
