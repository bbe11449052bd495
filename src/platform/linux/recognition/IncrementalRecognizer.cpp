#include "platform/linux/recognition/IncrementalRecognizer.h"

#include <malloc.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>
#include <xxhash.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <utility>

#include "platform/linux/common/FrameHash.h"
#include "platform/linux/common/Trace.h"
#include "platform/linux/recognition/LinePieces.h"
#include "platform/linux/recognition/PageRegions.h"
#include "platform/linux/recognition/WordGaps.h"

namespace linuxplatform {

namespace {

Rect moved(const Rect& r, int dx, int dy) { return {r.left + dx, r.top + dy, r.right + dx, r.bottom + dy}; }

std::vector<LineLayout> moved(std::vector<LineLayout> lines, int dx, int dy) {
    for (auto& line : lines) {
        line.box = moved(line.box, dx, dy);
        for (auto& piece : line.pieces) piece = moved(piece, dx, dy);
    }
    return lines;
}

// The pixels of a part of the page, with its size, so that equal images and only they share a key.
std::uint64_t pixelKey(const GreyPage& page, const Rect& piece) {
    XXH3_state_t* state = XXH3_createState();
    const std::uint64_t size = (static_cast<std::uint64_t>(piece.width()) << 32) | static_cast<std::uint32_t>(piece.height());
    XXH3_64bits_reset_withSeed(state, size);
    for (int y = piece.top; y < piece.bottom; ++y)
        XXH3_64bits_update(state, page.pixels.data() + static_cast<std::size_t>(y) * page.width + piece.left,
                           static_cast<std::size_t>(piece.width()));
    const std::uint64_t key = XXH3_64bits_digest(state);
    XXH3_freeState(state);
    return key;
}

}  // namespace

IncrementalRecognizer::IncrementalRecognizer(std::shared_ptr<LineEngine> engine, Options options)
    : engine_(std::move(engine)), cached_(options.cached), regions_(options.regions), thread_([this] { loop(); }) {}

IncrementalRecognizer::~IncrementalRecognizer() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

IncrementalRecognizer::Counts IncrementalRecognizer::counts() const {
    std::lock_guard lock(mutex_);
    return counts_;
}

bool IncrementalRecognizer::backgroundPriority() {
    const sched_param none{};
    const bool batch = pthread_setschedparam(pthread_self(), SCHED_BATCH, &none) == 0;
    // Linux keeps a nice value per thread: this one's alone.
    const bool nice = setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), backgroundNice) == 0;
    return batch && nice;
}

void IncrementalRecognizer::loop() {
    // There is no way back from background priority, hence a thread of its own.
    const bool background = backgroundPriority();
    if (!background) trace::logLine("recognition: background priority refused, reading at normal priority");
    std::unique_lock lock(mutex_);
    counts_.background = background;
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || job_; });
        if (!job_) return;
        auto job = std::move(job_);
        job_ = nullptr;
        lock.unlock();
        wake_.notify_all();
        job();
        lock.lock();
        // What the frame owes for the processor it took is paid once its reading is handed over.
        rest(lock, std::exchange(owed_, {}));
    }
}

std::optional<std::vector<std::optional<std::string>>> IncrementalRecognizer::recognize(const platform::Image& image) {
    std::promise<std::optional<Lines>> promise;
    auto result = promise.get_future();
    {
        std::unique_lock lock(mutex_);
        // One frame at a time: a second caller waits for the first frame's turn to end.
        wake_.wait(lock, [this] { return !job_ || stopping_; });
        if (stopping_) return std::nullopt;
        job_ = [&] { promise.set_value(read(image)); };
    }
    wake_.notify_all();
    return result.get();
}

bool IncrementalRecognizer::paced(bool last) {
    if (!paceKnown_) return true;
    const auto now = std::chrono::steady_clock::now();
    const auto times = pace_.sample(now);
    if (!times) {
        paceKnown_ = false;
        trace::logLine("recognition: the kernel tells nothing of contention, reading without a pace of its own");
        return true;
    }
    const auto pause = pace_.pauseAfter(*times, now);
    if (last) owed_ = pause;
    if (last || pause <= ReadingPace::Nanoseconds{}) return true;
    std::unique_lock lock(mutex_);
    return rest(lock, pause);
}

bool IncrementalRecognizer::rest(std::unique_lock<std::mutex>& lock, ReadingPace::Nanoseconds pause) {
    if (pause <= ReadingPace::Nanoseconds{}) return true;
    counts_.paused += std::chrono::duration_cast<std::chrono::milliseconds>(pause);
    return !wake_.wait_for(lock, pause, [this] { return stopping_; });
}

std::optional<IncrementalRecognizer::Lines> IncrementalRecognizer::read(const platform::Image& image) {
    auto rows = framehash::rows(image);
    if (rows.empty() || !engine_) return std::nullopt;
    // The same pixels give the same reading.
    if (cached_ && last_ && image.width == width_ && rows == rows_) {
        std::lock_guard lock(mutex_);
        ++counts_.unchanged;
        return last_;
    }
    last_.reset();
    if (paceKnown_) {
        const auto now = std::chrono::steady_clock::now();
        if (const auto times = pace_.sample(now)) pace_.begin(*times, now);
    }
    const GreyPage page = GreyPage::of(image);
    ++frame_;
    Counts counts;
    std::vector<LineLayout> layout;
    const auto areas = regions_ ? PageRegions::of(page) : std::vector<Rect>{{0, 0, page.width, page.height}};
    const auto layoutOf = [&](const Rect& area) -> std::optional<std::vector<LineLayout>> {
        const std::uint64_t key = pixelKey(page, area);
        if (auto hit = layouts_.find(key); cached_ && hit != layouts_.end()) {
            hit->second.frame = frame_;
            ++counts.layoutsCached;
            return moved(hit->second.lines, area.left, area.top);
        }
        auto fresh = engine_->layout(page, area);
        if (!fresh || !paced()) return std::nullopt;
        ++counts.laidOut;
        if (cached_) layouts_[key] = {moved(*fresh, -area.left, -area.top), frame_};
        return fresh;
    };
    const double minimumHeight = LineEngine::minimumTextHeight * page.height;
    const int lowest = std::max(PageRegions::rowGap, static_cast<int>(minimumHeight));
    for (const Rect& area : areas) {
        auto found = layoutOf(area);
        if (!found) return std::nullopt;
        // A whole line that reads as cut because the layout took in the tips of a line the frame's
        // edge cuts: the area is laid out again without them.
        for (const LineLayout& line : *found) {
            if (line.box.top > 0 && line.box.bottom < page.height) continue;  // nowhere near the edge
            const Rect own = linepieces::own(page, line.box);
            if (line.height < minimumHeight || !linepieces::cut(page, own)) continue;
            const auto whole = linepieces::withoutTips(page, own, lowest);
            if (!whole) continue;
            const Rect trimmed{area.left, whole->top != own.top ? whole->top : area.top, area.right,
                               whole->bottom != own.bottom ? whole->bottom : area.bottom};
            if (trimmed.height() <= 0) break;
            found = layoutOf(trimmed);
            if (!found) return std::nullopt;
            break;
        }
        layout.insert(layout.end(), std::make_move_iterator(found->begin()), std::make_move_iterator(found->end()));
    }
    std::vector<std::vector<PieceReading>> shown;  // the pieces of each line read
    for (const LineLayout& line : layout) {
        if (line.height < minimumHeight) continue;
        const Rect own = linepieces::own(page, line.box);
        if (linepieces::cut(page, own)) continue;
        auto& pieces = shown.emplace_back();
        for (const Rect& piece : line.pieces) {
            const GreyPage image = linepieces::image(page, piece, own);
            const Rect whole{0, 0, image.width, image.height};
            const std::uint64_t key = pixelKey(image, whole);
            if (auto hit = cache_.find(key); cached_ && hit != cache_.end()) {
                hit->second.frame = frame_;
                pieces.push_back(hit->second.reading);
                ++counts.piecesCached;
            } else {
                auto fresh = engine_->read(image, whole);
                if (!fresh || !paced()) return std::nullopt;
                ++counts.piecesRead;
                if (cached_) cache_[key] = {*fresh, frame_};
                pieces.push_back(std::move(*fresh));
            }
        }
    }
    // What a piece could not tell of its zeros, the rest of this frame may.
    std::vector<PieceReading*> settling;
    for (auto& pieces : shown)
        for (PieceReading& piece : pieces) settling.push_back(&piece);
    wordgaps::settleZeros(settling);
    Lines lines;
    for (const auto& pieces : shown) {
        std::string text;
        for (const PieceReading& piece : pieces) {
            if (piece.text.empty()) continue;
            if (!text.empty()) text += ' ';
            text += piece.text;
        }
        lines.push_back(text.empty() ? std::nullopt : std::optional<std::string>(std::move(text)));
    }
    paced(true);
    const auto stale = [this](const auto& entry) { return entry.second.frame != frame_; };
    if (cache_.size() > cacheLines) std::erase_if(cache_, stale);
    if (layouts_.size() > cacheLines) std::erase_if(layouts_, stale);
    // The engine's work leaves freed memory in this thread's arena, which glibc keeps. Given back
    // now and then, not after every frame: pages given back are faulted in again by the next.
    if (counts.laidOut + counts.piecesRead > 0) {
        const auto now = std::chrono::steady_clock::now();
        if (now - trimmed_ >= std::chrono::seconds(10)) {
            malloc_trim(0);
            trimmed_ = now;
        }
    }
    {
        std::lock_guard lock(mutex_);
        counts_.laidOut += counts.laidOut;
        counts_.layoutsCached += counts.layoutsCached;
        counts_.piecesRead += counts.piecesRead;
        counts_.piecesCached += counts.piecesCached;
    }
    if (cached_) {
        rows_ = std::move(rows);
        width_ = image.width;
        last_ = lines;
    }
    return lines;
}

}  // namespace linuxplatform
