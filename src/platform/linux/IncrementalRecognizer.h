#pragma once
// Reads a frame as one whole reading of it would: layout analysis of the whole frame decides the
// lines and their order, and each line is read from its own pixels alone. A line whose pixels were
// read before (unchanged, or only moved by scrolling) is answered from the cache, so the text of a
// frame never depends on the frames before it. Recognition runs on a thread of its own at the
// lowest scheduling priority, so it yields to the user's work.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/ScreenCapture.h"
#include "platform/linux/LineEngine.h"

namespace linuxplatform {

class IncrementalRecognizer final : public platform::TextRecognizer {
public:
    // `cached` false reads every line of every frame: the reference the cached reading must equal.
    explicit IncrementalRecognizer(std::shared_ptr<LineEngine> engine, bool cached = true);
    ~IncrementalRecognizer() override;
    IncrementalRecognizer(const IncrementalRecognizer&) = delete;
    IncrementalRecognizer& operator=(const IncrementalRecognizer&) = delete;

    std::optional<std::vector<std::optional<std::string>>> recognize(const platform::Image& image) override;

    // Readings kept; past this many, those the last frame did not use are forgotten.
    static constexpr std::size_t cacheLines = 4000;

    struct Counts {
        std::uint64_t unchanged = 0;    // frames identical to the last one, answered without the engine
        std::uint64_t laidOut = 0;      // frames whose layout was analysed
        std::uint64_t piecesRead = 0;   // line pieces handed to the engine
        std::uint64_t piecesCached = 0; // line pieces answered from the cache
    };
    Counts counts() const;

private:
    using Lines = std::vector<std::optional<std::string>>;
    std::optional<Lines> read(const platform::Image& image);  // on the recognition thread
    void loop();

    std::shared_ptr<LineEngine> engine_;
    const bool cached_;

    // Touched only on the recognition thread.
    std::vector<std::uint64_t> rows_;
    int width_ = 0;
    std::optional<Lines> last_;
    struct Entry {
        std::string text;
        std::uint64_t frame = 0;  // the last frame that used it
    };
    std::unordered_map<std::uint64_t, Entry> cache_;
    std::uint64_t frame_ = 0;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::function<void()> job_;
    bool stopping_ = false;
    Counts counts_;
    std::thread thread_;
};

}  // namespace linuxplatform
