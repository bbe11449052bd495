// The cached screen reader against an honest whole-image reading of every frame, side by side on
// realistic sequences: typing, scrolling by 1 to 20 lines, a label appearing in an empty area or in
// the gutter of two columns, a dialog and a notification coming and going, a check-in panel in a
// display capture, a window playing a video clip, and real documentation pages captured from
// Chromium (bench/chromium-pages) scrolled as a reader does. For every frame three readings:
//   cached    the agent's reader, one instance for all sequences, so each frame follows others
//   uncached  the same layout analysis of the whole frame and every line read afresh
//   tesseract Tesseract's own whole-page Recognize
// The cached text must equal the uncached one character for character; how far both are from
// Tesseract's own reading is reported beside it, and the word recall of the uncached reading on the
// Chromium pages against their text.
// --whole-layout lays out each frame whole instead of region by region (the design compared);
// --only-pages leaves out the rendered sequences.
//   QT_QPA_PLATFORM=offscreen build/bench/incremental_bench [--smoke] [--whole-layout] [--only-pages] [--pages=DIR]
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <QDir>
#include <QGuiApplication>
#include <QImage>

#include "Frames.h"
#include "platform/linux/common/ImageScaling.h"
#include "platform/linux/recognition/IncrementalRecognizer.h"
#include "platform/linux/recognition/TesseractRecognizer.h"

namespace {

using Reading = std::optional<std::vector<std::optional<std::string>>>;

// CPU seconds of the whole process, the recognition thread included; other programs do not count.
double cpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + t.tv_nsec * 1e-9;
}

template <typename F>
double timed(F&& f) {
    const double t0 = cpuSeconds();
    f();
    return cpuSeconds() - t0;
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double worst(const std::vector<double>& v) { return v.empty() ? 0 : *std::max_element(v.begin(), v.end()); }

// As the screen reader joins lines.
std::string text(const Reading& reading) {
    std::string out;
    if (!reading) return out;
    for (const auto& line : *reading) {
        if (!line) continue;
        if (!out.empty()) out += ' ';
        out += *line;
    }
    return out;
}

// 1 - edit distance / the longer length.
double agreement(const std::string& a, const std::string& b) {
    if (a == b) return 1.0;
    std::vector<std::size_t> prev(b.size() + 1), cur(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) prev[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        cur[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j)
            cur[j] = std::min({prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
        std::swap(prev, cur);
    }
    return 1.0 - static_cast<double>(prev[b.size()]) / static_cast<double>(std::max(a.size(), b.size()));
}

// A window of a page as the agent captures it: 1600 points wide, scaled to 2400 pixels.
platform::Image captured(const QImage& page, int top, int height) {
    return imagescaling::resize(bench::toImage(page.copy(0, top, page.width(), height)), 2400, 2400 * height / page.width());
}

struct Sequence {
    std::string name;
    std::vector<platform::Image> frames;
};

struct Tally {
    std::size_t frames = 0, exact = 0, exactTesseract = 0, stale = 0;
    std::vector<double> cached, uncached, tesseract, agreeOthers, agreeTesseract;
};

class Bench {
public:
    Bench(bool smoke, bool regions)
        : smoke_(smoke), cached_(engine_, {.cached = true, .regions = regions}),
          uncached_(engine_, {.cached = false, .regions = regions}) {}

    void run(const Sequence& sequence) {
        Tally tally;
        std::string previousCached, previousUncached;
        for (std::size_t i = 0; i < sequence.frames.size(); ++i) {
            const auto& frame = sequence.frames[i];
            Reading a, b, c;
            tally.cached.push_back(timed([&] { a = cached_.recognize(frame); }));
            tally.uncached.push_back(timed([&] { b = uncached_.recognize(frame); }));
            const std::string ta = text(a), tb = text(b);
            ++tally.frames;
            if (ta == tb) ++tally.exact;
            else tally.agreeOthers.push_back(agreement(ta, tb));
            // A changed screen that reads as the frame before while a fresh reading differs.
            if (i > 0 && ta == previousCached && tb != previousUncached) ++tally.stale;
            previousCached = ta;
            previousUncached = tb;
            if (!smoke_) {
                tally.tesseract.push_back(timed([&] { c = engine_->recognize(frame); }));
                const std::string tc = text(c);
                if (tb == tc) ++tally.exactTesseract;
                else tally.agreeTesseract.push_back(agreement(tb, tc));
            }
        }
        print(sequence.name, tally);
        all_.frames += tally.frames;
        all_.exact += tally.exact;
        all_.exactTesseract += tally.exactTesseract;
        all_.stale += tally.stale;
        for (auto [to, from] : {std::pair{&all_.cached, &tally.cached}, {&all_.uncached, &tally.uncached},
                                {&all_.tesseract, &tally.tesseract}, {&all_.agreeOthers, &tally.agreeOthers},
                                {&all_.agreeTesseract, &tally.agreeTesseract}})
            to->insert(to->end(), from->begin(), from->end());
    }

    // Word recall of the uncached reading of a whole page, read window by window, cut between lines.
    void recall(const std::string& name, const QImage& page, const std::string& truth) {
        const QImage grey = page.convertToFormat(QImage::Format_Grayscale8);
        const auto blank = [&](int y) {
            const uchar* row = grey.constScanLine(y);
            return std::all_of(row, row + grey.width(), [&](uchar v) { return v == row[0]; });
        };
        int end = grey.height();
        while (end > 0 && blank(end - 1)) --end;
        std::string read, tesseract;
        for (int top = 0; top < end;) {
            int bottom = std::min(end, top + 1000);
            if (bottom < end)
                for (int y = bottom; y > top + 500; --y)
                    if (blank(y)) {
                        bottom = y;
                        break;
                    }
            const auto window = captured(page, top, bottom - top);
            read += text(uncached_.recognize(window)) + " ";
            tesseract += text(engine_->recognize(window)) + " ";
            top = bottom;
        }
        const auto score = [&](auto split, Recall& into, const char* what) {
            const auto truthWords = split(truth);
            const std::size_t found = bench::matched(truthWords, split(read));
            const std::size_t foundByTesseract = bench::matched(truthWords, split(tesseract));
            into.words += truthWords.size();
            into.found += found;
            into.tesseract += foundByTesseract;
            const double total = static_cast<double>(std::max<std::size_t>(1, truthWords.size()));
            std::printf("%-38s recall %6.2f%% of %zu %s (Tesseract's own reading %6.2f%%)\n", name.c_str(),
                        100.0 * found / total, truthWords.size(), what, 100.0 * foundByTesseract / total);
        };
        score(bench::words, words_, "words");
        score(bench::runs, runs_, "runs of letters and digits");
    }

    int summary() const {
        std::printf("\n");
        print("all sequences", all_);
        const double exactShare = all_.frames ? 100.0 * all_.exact / all_.frames : 0;
        std::printf("\ncached = uncached reading on %zu of %zu frames = %.2f%% (target >= 99%%); "
                    "stale readings of a changed screen: %zu (target 0)\n",
                    all_.exact, all_.frames, exactShare, all_.stale);
        if (!all_.agreeOthers.empty())
            std::printf("  the rest agree %.2f%% of characters (median), worst %.2f%%\n", 100 * median(all_.agreeOthers),
                        100 * *std::min_element(all_.agreeOthers.begin(), all_.agreeOthers.end()));
        if (!smoke_) {
            std::printf("uncached reading = Tesseract's whole-page Recognize on %zu of %zu frames = %.2f%%",
                        all_.exactTesseract, all_.frames, 100.0 * all_.exactTesseract / std::max<std::size_t>(1, all_.frames));
            if (!all_.agreeTesseract.empty())
                std::printf("; the rest agree %.2f%% of characters (median), worst %.2f%%", 100 * median(all_.agreeTesseract),
                            100 * *std::min_element(all_.agreeTesseract.begin(), all_.agreeTesseract.end()));
            std::printf("\n");
        }
        if (words_.words)
            std::printf("word recall of the uncached reading on Chromium pages: %.2f%% of %zu words (target >= 99%%); "
                        "Tesseract's own whole-page reading: %.2f%%\n"
                        "  counting runs of letters and digits (punctuation parts words): %.2f%% of %zu; "
                        "Tesseract's own: %.2f%%\n",
                        100.0 * words_.found / words_.words, words_.words, 100.0 * words_.tesseract / words_.words,
                        100.0 * runs_.found / std::max<std::size_t>(1, runs_.words), runs_.words,
                        100.0 * runs_.tesseract / std::max<std::size_t>(1, runs_.words));
        const auto c = cached_.counts();
        std::printf("cached reader: %llu frames unchanged, %llu regions laid out, %llu from the cache, %llu line pieces read, "
                    "%llu from the cache\n",
                    static_cast<unsigned long long>(c.unchanged), static_cast<unsigned long long>(c.laidOut),
                    static_cast<unsigned long long>(c.layoutsCached),
                    static_cast<unsigned long long>(c.piecesRead), static_cast<unsigned long long>(c.piecesCached));
        // Timings vary with the machine; exactness does not, so only it decides the exit status.
        return all_.frames && exactShare >= 99.0 && all_.stale == 0 ? 0 : 1;
    }

private:
    void print(const std::string& name, const Tally& t) const {
        char tess[16] = "       -";  // not read in a smoke run
        if (!smoke_ && t.frames) std::snprintf(tess, sizeof tess, "%7.2f%%", 100.0 * t.exactTesseract / t.frames);
        std::printf("%-38s %4zu %7.2f%% %s %8.3f %8.3f %8.3f %8.3f %8.3f\n", name.c_str(), t.frames,
                    t.frames ? 100.0 * t.exact / t.frames : 0.0, tess, median(t.cached), worst(t.cached), median(t.uncached),
                    worst(t.uncached), median(t.tesseract));
        std::fflush(stdout);
    }

    bool smoke_;
    std::shared_ptr<linuxplatform::TesseractRecognizer> engine_ = std::make_shared<linuxplatform::TesseractRecognizer>();
    linuxplatform::IncrementalRecognizer cached_;
    linuxplatform::IncrementalRecognizer uncached_;
    Tally all_;
    struct Recall {
        std::size_t words = 0, found = 0, tesseract = 0;
    };
    Recall words_, runs_;
};

// Frames of a clip made by ffmpeg, RGBA; empty when ffmpeg is missing.
std::vector<std::vector<std::uint8_t>> clip(int width, int height, int frames) {
    const std::string command = "ffmpeg -loglevel error -f lavfi -i testsrc2=size=" + std::to_string(width) + "x" +
                                std::to_string(height) + ":rate=5 -frames:v " + std::to_string(frames) +
                                " -f rawvideo -pix_fmt rgba - 2>/dev/null";
    std::vector<std::vector<std::uint8_t>> out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return out;
    std::vector<std::uint8_t> frame(static_cast<std::size_t>(width) * height * 4);
    while (std::fread(frame.data(), 1, frame.size(), pipe) == frame.size()) out.push_back(frame);
    pclose(pipe);
    return out;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

int main(int argc, char** argv) {
    bool smoke = false, whole = false, onlyPages = false;
    std::string pages;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--smoke") == 0) smoke = true;
        else if (std::strcmp(argv[i], "--whole-layout") == 0) whole = true;
        else if (std::strcmp(argv[i], "--only-pages") == 0) onlyPages = true;
        else if (std::strncmp(argv[i], "--pages=", 8) == 0) pages = argv[i] + 8;
    }
    QGuiApplication app(argc, argv);
    Bench bench(smoke, !whole);
    std::printf("layout: %s\n", whole ? "of the whole frame" : "of each region of the frame");
    const int n = smoke ? 2 : 8;  // changed frames per sequence
    unsigned seed = 11;
    const auto next = [&] { return seed = seed * 1103515245u + 12345u, seed >> 8; };

    std::printf("%-38s %4s %8s %8s %8s %8s %8s %8s %8s\n", "sequence (CPU s per frame)", "frm", "=uncach", "=tess",
                "cached", "worst", "uncached", "worst", "tess");
    if (!onlyPages) {
        Sequence s{"typing, Sans 15 light", {}};
        auto layout = bench::denseLayout("DejaVu Sans", 15, false, 1, next());
        s.frames.push_back(bench::render(layout));
        for (int i = 0; i < n; ++i) {
            bench::typeWord(layout, next() % layout.lines.size(), next());
            s.frames.push_back(bench::render(layout));
            if (i % 3 == 2) s.frames.push_back(s.frames.back());  // a pause: the same frame again
        }
        bench.run(s);
    }
    for (const auto& [family, px, dark] : {std::tuple{"DejaVu Sans", 15, false}, {"DejaVu Serif", 14, true}}) {
        if ((smoke && dark) || onlyPages) break;
        Sequence s{std::string("scrolling 1-20 lines, ") + family + (dark ? " dark" : " light"), {}};
        auto layout = bench::longLayout(family, px, dark, 400, next());
        s.frames.push_back(bench::render(layout));
        for (const int step : {3, 1, 20, 3, 7, 3, 12, 3, 2, 5}) {
            if (static_cast<int>(s.frames.size()) > n + 1) break;
            layout.first += static_cast<std::size_t>(step);
            s.frames.push_back(bench::render(layout));
        }
        bench.run(s);
    }
    if (!onlyPages) {
        Sequence s{"label in an empty area", {}};
        auto layout = bench::denseLayout("DejaVu Sans", 15, false, 1, next());
        layout.lines.resize(layout.lines.size() / 2);
        s.frames.push_back(bench::render(layout));
        for (int i = 0; i < n; ++i) {
            if (i % 2 == 0) layout.boxes = {{300 + 40 * i, 800 - 20 * i, 600, 60, {"Saved " + std::to_string(i) + " minutes ago"}, false}};
            else layout.boxes.clear();
            s.frames.push_back(bench::render(layout));
        }
        bench.run(s);
    }
    if (!smoke && !onlyPages) {
        Sequence s{"label in the gutter of two columns", {}};
        auto layout = bench::denseLayout("DejaVu Sans Mono", 12, false, 2, next());
        s.frames.push_back(bench::render(layout));
        for (int i = 0; i < n; ++i) {
            if (i % 2 == 0) layout.boxes = {{935, 200 + 90 * i, 60, 40, {"note"}, false}};
            else layout.boxes.clear();
            s.frames.push_back(bench::render(layout));
        }
        bench.run(s);
    }
    if (!smoke && !onlyPages) {
        Sequence s{"dialog and notification", {}};
        auto layout = bench::denseLayout("DejaVu Sans", 15, false, 1, next());
        s.frames.push_back(bench::render(layout));
        const std::vector<std::vector<bench::Layout::Box>> states = {
            {{660, 380, 600, 200, {"Save changes to the document?", "Your changes will be lost.", "Cancel      Save"}}},
            {},
            {{1480, 40, 420, 110, {"New message from Ana", "are you free for dinner tonight"}}},
            {{1480, 40, 420, 110, {"New message from Ana", "are you free for dinner tonight"}},
             {660, 380, 600, 200, {"Print 3 pages?", "Printer: office", "Cancel      Print"}}},
            {}};
        for (int i = 0; i < n; ++i) {
            layout.boxes = states[static_cast<std::size_t>(i) % states.size()];
            s.frames.push_back(bench::render(layout));
        }
        bench.run(s);
    }
    if (!smoke && !onlyPages) {
        Sequence s{"check-in panel in a display capture", {}};
        auto layout = bench::denseLayout("DejaVu Sans", 15, true, 2, next());
        s.frames.push_back(bench::render(layout));
        for (int i = 0; i < n; ++i) {
            if (i % 2 == 0)
                layout.boxes = {{1440, 60, 460, 150,
                                 {"Wellspire \u2014 a quiet check-in", "Looks like a lot on you right now.",
                                  "Want to take a breath together?"}}};
            else layout.boxes.clear();
            s.frames.push_back(bench::render(layout));
        }
        bench.run(s);
    }
    if (!onlyPages) {
        Sequence s{"a window playing a video", {}};
        auto layout = bench::denseLayout("DejaVu Sans", 15, false, 1, next());
        for (auto& line : layout.lines) line.resize(std::min<std::size_t>(line.size(), 4));  // text beside the video
        const auto video = clip(960, 540, n + 1);
        if (video.empty()) std::printf("(ffmpeg missing: no video sequence)\n");
        for (const auto& picture : video) {
            layout.picture = picture;
            layout.pictureX = 900, layout.pictureY = 200, layout.pictureWidth = 960, layout.pictureHeight = 540;
            s.frames.push_back(bench::render(layout));
        }
        if (!s.frames.empty()) bench.run(s);
    }
    if (!pages.empty()) {
        // Each page as Chromium drew it, 1600 points wide: a reader's window of 1000 points scrolled
        // three lines (120 points) at a time, with a few longer jumps.
        const QStringList names = QDir(QString::fromStdString(pages)).entryList({"*.png"}, QDir::Files, QDir::Name);
        for (const QString& name : names) {
            const QImage page(QDir(QString::fromStdString(pages)).filePath(name));
            if (page.isNull() || page.width() != 1600) continue;
            const std::string base = name.chopped(4).toStdString();
            Sequence s{"chromium " + base, {}};
            int top = 0;
            for (const int lines : {3, 3, 1, 3, 20, 3, 3, 10, 3, 3, 5, 3}) {
                if (top + 1000 > page.height() || static_cast<int>(s.frames.size()) > (smoke ? 2 : 12)) break;
                s.frames.push_back(captured(page, top, 1000));
                top += 40 * lines;
            }
            bench.run(s);
            if (!smoke) bench.recall("recall " + base, page, slurp(pages + "/" + base + ".txt"));
        }
    }
    return bench.summary();
}
