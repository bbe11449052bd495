// The cached screen reader against an honest whole-image reading of every frame, side by side on
// realistic sequences: typing, scrolling by 1 to 20 lines, a label appearing in an empty area or in
// the gutter of two columns, a dialog and a notification coming and going, a check-in panel in a
// display capture, a window playing a video clip, and real documentation pages captured from
// Chromium (bench/chromium-pages) scrolled as a reader does. For every frame three readings:
//   cached    the agent's reader, one instance for all sequences, so each frame follows others
//   uncached  a new reader with a new engine for every frame, keeping nothing
//   tesseract Tesseract's own whole-page Recognize
// The cached text must equal the uncached one character for character; how far both are from
// Tesseract's own reading is reported beside it, and the word recall of the uncached reading on the
// Chromium pages against their text.
// --whole-layout lays out each frame whole instead of region by region (the design compared);
// --only-pages leaves out the rendered sequences.
// --docs=DIR (pages from bench/chromium-docs): browser windows of several sizes over real
// documentation, scrolled three lines at a time, resized and rescaled; the reader's cost per step,
// its cache hits, its text against a new reader's and against the words the page laid out itself.
// --rule=fit scales those windows as the reader did before (longer side fitted to 2400 pixels),
// --rule=F by the factor F; --only=NAME reads that page alone.
// --load: how soon a changed screen is read, and how much speed a CPU-bound job on every core keeps
// (the job runs as `incremental_bench --job SECONDS`, in a session of its own).
//   QT_QPA_PLATFORM=offscreen build/bench/incremental_bench [--smoke] [--whole-layout] [--only-pages] [--pages=DIR]
//       [--docs=DIR [--rule=fit|F] [--only=NAME]] [--load]
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPainter>

#include "Frames.h"
#include "platform/linux/common/ImageScaling.h"
#include "platform/linux/common/ScaledFrameCache.h"
#include "platform/linux/recognition/IncrementalRecognizer.h"
#include "platform/linux/recognition/TesseractRecognizer.h"
#include "signals/ScreenReader.h"

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

// How many of the 0s and Os of `drawn` stand as the same letter where an edit-distance alignment
// puts them in `read`.
std::size_t zerosAligned(const std::string& drawn, const std::string& read) {
    const std::size_t n = drawn.size(), m = read.size();
    std::vector<std::vector<std::size_t>> d(n + 1, std::vector<std::size_t>(m + 1));
    for (std::size_t i = 0; i <= n; ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= m; ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= n; ++i)
        for (std::size_t j = 1; j <= m; ++j)
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (drawn[i - 1] == read[j - 1] ? 0 : 1)});
    std::size_t kept = 0;
    for (std::size_t i = n, j = m; i > 0 && j > 0;) {
        if (d[i][j] == d[i - 1][j - 1] + (drawn[i - 1] == read[j - 1] ? 0 : 1)) {
            kept += (drawn[i - 1] == '0' || drawn[i - 1] == 'O') && drawn[i - 1] == read[j - 1];
            --i, --j;
        } else if (d[i][j] == d[i - 1][j] + 1) {
            --i;
        } else {
            --j;
        }
    }
    return kept;
}

// A window of a page as the agent captures it: scaled as the screen reader asks.
platform::Image captured(const QImage& page, int top, int height) {
    const auto [width, pixels] = ScreenReader::pixelSize(page.width(), height);
    return imagescaling::resize(bench::toImage(page.copy(0, top, page.width(), height)), width, pixels);
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
        : smoke_(smoke), regions_(regions), cached_(engine_, {.cached = true, .regions = regions}),
          uncached_(engine_, {.cached = false, .regions = regions}) {}

    void run(const Sequence& sequence) {
        Tally tally;
        std::string previousCached, previousUncached;
        for (std::size_t i = 0; i < sequence.frames.size(); ++i) {
            const auto& frame = sequence.frames[i];
            Reading a, b, c;
            tally.cached.push_back(timed([&] { a = cached_.recognize(frame); }));
            {
                // Nothing shared with the cached reading: a reader and an engine of its own.
                linuxplatform::IncrementalRecognizer fresh(std::make_shared<linuxplatform::TesseractRecognizer>(),
                                                          {.cached = false, .regions = regions_});
                tally.uncached.push_back(timed([&] { b = fresh.recognize(frame); }));
            }
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
    bool regions_;
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

// The pixel size a window of w × h points is captured at: the reader's rule (0), the one it had
// before (longer side fitted to 2400 pixels, at most doubled; below 0), or a given factor.
std::pair<int, int> pixelsFor(int width, int height, double rule) {
    if (rule == 0) return ScreenReader::pixelSize(width, height);
    const double scale = rule > 0 ? rule : std::min(2400.0 / std::max(width, height), 2.0);
    return {std::max(1, static_cast<int>(width * scale)), std::max(1, static_cast<int>(height * scale))};
}

// A page from bench/chromium-docs: Chromium's drawing and the words it laid out, in page points.
struct Doc {
    std::string name;  // the page and the width it was drawn at, as "zlib-how-nimbus@1920"
    QImage page;
    int bar = 0;  // the toolbar's bottom: the page scrolls under it
    struct Word {
        std::string text;
        double x0, y0, x1, y1;
    };
    std::vector<Word> words;
    struct Link {
        std::string first, second;
        double x0, y0, x1, y1;
    };
    std::vector<Link> links;

    static std::optional<Doc> load(const QString& png) {
        Doc doc;
        doc.name = QFileInfo(png).completeBaseName().toStdString();
        doc.page = QImage(png).convertToFormat(QImage::Format_RGBA8888);
        QFile file(png.chopped(4) + ".json");
        if (doc.page.isNull() || !file.open(QIODevice::ReadOnly)) return std::nullopt;
        const QJsonObject root = QJsonDocument::fromJson(file.readAll()).object();
        doc.bar = static_cast<int>(std::ceil(root["bar"].toDouble()));
        for (const auto& w : root["words"].toArray()) {
            const auto a = w.toArray();
            doc.words.push_back({a[0].toString().toStdString(), a[1].toDouble(), a[2].toDouble(), a[3].toDouble(), a[4].toDouble()});
        }
        for (const auto& l : root["links"].toArray()) {
            const auto a = l.toArray();
            doc.links.push_back({a[0].toString().toStdString(), a[1].toString().toStdString(), a[2].toDouble(),
                                 a[3].toDouble(), a[4].toDouble(), a[5].toDouble()});
        }
        return doc;
    }
};

// What a window of `width` × `height` points shows of the page scrolled by `scroll` under its
// toolbar: the toolbar, then the page from bar + scroll down. `shown` is how much of the window's
// width the screen shows (the rest is past the screen's edge).
struct View {
    int width, height, scroll, shown;
    bool visible(double x0, double y0, double x1, double y1, int bar) const {
        if (x0 < -0.5 || x1 > shown + 0.5) return false;
        if (y1 <= bar + 0.5) return true;  // on the toolbar
        return y0 >= bar + scroll - 0.5 && y1 <= scroll + height + 0.5;
    }
    // Whether some of it shows, but not all: at the window's edges, or under the toolbar.
    bool partly(double x0, double y0, double x1, double y1, int bar) const {
        if (visible(x0, y0, x1, y1, bar) || x0 >= shown || y1 <= bar) return false;
        return y1 > bar + scroll && y0 < scroll + height;
    }
};

QImage windowImage(const Doc& doc, const View& view) {
    QImage out(view.shown, view.height, QImage::Format_RGBA8888);
    out.fill(Qt::white);
    QPainter p(&out);
    p.drawImage(QPoint(0, 0), doc.page, QRect(0, 0, view.shown, doc.bar));
    p.drawImage(QPoint(0, doc.bar), doc.page, QRect(0, doc.bar + view.scroll, view.shown, view.height - doc.bar));
    return out;
}

// Words as written, only their letters, digits and underscores, case kept: a 0 is not an O.
std::vector<std::string> drawnWords(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string w;
    while (in >> w) {
        w.erase(std::remove_if(w.begin(), w.end(), [](unsigned char c) { return !std::isalnum(c) && c != '_'; }), w.end());
        if (!w.empty()) out.push_back(w);
    }
    return out;
}

// How many of `truth` are in `read`, each word of `read` counted once.
std::size_t common(const std::vector<std::string>& truth, const std::vector<std::string>& read) {
    std::map<std::string, int> left;
    for (const auto& w : read) ++left[w];
    std::size_t n = 0;
    for (const auto& w : truth)
        if (auto it = left.find(w); it != left.end() && it->second > 0) --it->second, ++n;
    return n;
}

class DocsBench {
public:
    DocsBench(bool smoke, double rule) : smoke_(smoke), rule_(rule) {}

    // One window over a page, scrolled three lines (57 points) at a time.
    void scroll(const std::string& name, const Doc& doc, int width, int height, int shown, const std::string& kind) {
        std::vector<View> views;
        for (int i = 0, top = 0; i < (smoke_ ? 3 : 9); ++i, top += 57) views.push_back({width, height, top, shown});
        run(name + " " + kind, doc, views, kind);
    }
    // The same page in a window that changes height, and between sizes read at 2× and 1×, read by
    // the reader that has seen every window before.
    void resized(const std::string& name, const std::vector<std::pair<const Doc*, View>>& steps) {
        Row row;
        for (const auto& [doc, view] : steps) frame(*doc, view, row, false);
        print(name + " resized", row);
    }

    int summary() const {
        std::printf("\nby window size: CPU s per three-line step (median / worst), %% of a core at a step every 2 s, "
                    "line pieces from the cache\n");
        double worstShare = 0;
        for (const auto& [kind, r] : bySize_) {
            const double m = median(r.steps), w = worst(r.steps);
            worstShare = std::max(worstShare, m / 2);
            std::printf("  %-12s %7.3f / %7.3f s  %5.1f %% / %5.1f %%  %6.1f %% of %llu\n", kind.c_str(), m, w, 50 * m,
                        50 * w, 100.0 * r.piecesCached / std::max<std::uint64_t>(1, r.piecesCached + r.piecesRead),
                        static_cast<unsigned long long>(r.piecesCached + r.piecesRead));
        }
        std::printf("scrolling, worst window size: %.1f %% of a core (median step; target <= 10 %%)\n", 100 * worstShare);
        std::printf("exact: cached = a new reader with a new engine on %zu of %zu frames (target all)\n", all_.exact,
                    all_.frames);
        std::printf("against the page's own words, per frame: recall median %.2f %%, worst %.2f %%; precision median "
                    "%.2f %%, worst %.2f %% (targets >= 99 %%)\n",
                    100 * median(all_.recall), 100 * least(all_.recall), 100 * median(all_.precision),
                    100 * least(all_.precision));
        std::printf("  all frames together: recall %.2f %% of %zu words, precision %.2f %% of %zu read\n",
                    100.0 * all_.found / std::max<std::size_t>(1, all_.truth), all_.truth,
                    100.0 * all_.found / std::max<std::size_t>(1, all_.read), all_.read);
        std::printf("  two-word links keeping their space: %zu of %zu (joined into one word: %zu)\n", all_.linksKept,
                    all_.links, all_.linksJoined);
        std::printf("  words with 0 or O read as drawn: %zu of %zu\n", all_.zerosKept, all_.zeros);
        std::printf("  the 0s and Os in them read as drawn: %zu of %zu (in words read whole or nearly)\n",
                    all_.zeroLettersKept, all_.zeroLetters);
        std::vector<std::pair<std::string, int>> misses(misses_.begin(), misses_.end());
        std::stable_sort(misses.begin(), misses.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
        for (const auto& [miss, times] : misses) std::printf("    missed %3d×: %s\n", times, miss.c_str());
        for (const auto& outlier : outliers_) std::printf("  %s\n", outlier.c_str());
        return all_.exact == all_.frames ? 0 : 1;
    }

private:
    struct Row {
        std::size_t frames = 0, exact = 0, truth = 0, read = 0, found = 0;
        std::size_t links = 0, linksKept = 0, linksJoined = 0, zeros = 0, zerosKept = 0, zeroLetters = 0,
                    zeroLettersKept = 0;
        std::vector<double> cached, uncached, steps, recall, precision;
        std::uint64_t piecesRead = 0, piecesCached = 0;
    };

    static double least(const std::vector<double>& v) { return v.empty() ? 0 : *std::min_element(v.begin(), v.end()); }

    void run(const std::string& name, const Doc& doc, const std::vector<View>& views, const std::string& kind) {
        Row row;
        // The cost of a step is measured on a reader of the window's own, which starts empty: lines
        // that look alike at another width (short lines, code) are not found from other windows.
        linuxplatform::IncrementalRecognizer own(engine_);
        for (std::size_t i = 0; i < views.size(); ++i) frame(doc, views[i], row, i > 0, &own);
        print(name, row);
        auto& size = bySize_[kind];
        size.steps.insert(size.steps.end(), row.steps.begin(), row.steps.end());
        size.piecesRead += row.piecesRead;
        size.piecesCached += row.piecesCached;
    }

    void frame(const Doc& doc, const View& view, Row& row, bool step, linuxplatform::IncrementalRecognizer* own = nullptr) {
        const auto [w, h] = pixelsFor(view.shown, view.height, rule_);
        const auto image = frames_.scaled(bench::toImage(windowImage(doc, view)), w, h);
        auto& reader = own ? *own : cached_;
        const auto before = reader.counts();
        Reading a, b, c;
        const double cost = timed([&] { a = reader.recognize(*image); });
        const auto after = reader.counts();
        // The reader that has seen every window before, whatever their sizes and scales.
        if (own) c = cached_.recognize(*image);
        {
            linuxplatform::IncrementalRecognizer fresh(std::make_shared<linuxplatform::TesseractRecognizer>(),
                                                      {.cached = false});
            row.uncached.push_back(timed([&] { b = fresh.recognize(*image); }));
        }
        const std::string read = text(a);
        row.cached.push_back(cost);
        ++row.frames;
        row.exact += read == text(b) && (!own || text(c) == text(b));
        if (step) {
            row.steps.push_back(cost);
            row.piecesRead += after.piecesRead - before.piecesRead;
            row.piecesCached += after.piecesCached - before.piecesCached;
        }
        score(doc, view, read, row);
    }

    void score(const Doc& doc, const View& view, const std::string& read, Row& row) {
        std::string truth, partly;
        std::vector<std::string> cut;  // words the screen's edge cuts: what shows of each is how it begins
        for (const auto& word : doc.words) {
            if (view.visible(word.x0, word.y0, word.x1, word.y1, doc.bar)) {
                truth += word.text + " ";
            } else if (view.partly(word.x0, word.y0, word.x1, word.y1, doc.bar)) {
                partly += word.text + " ";
                if (word.x0 < view.shown && view.visible(word.x0, word.y0, view.shown, word.y1, doc.bar)) {
                    std::string whole;
                    for (const auto& w : bench::words(word.text)) whole += w;
                    cut.push_back(whole);
                }
            }
        }
        const auto truthWords = bench::words(truth);
        auto readWords = bench::words(read);
        const std::size_t found = common(truthWords, readWords);
        // A word the window shows only in part may be read or not: it is not asked for, and what is
        // read of it (the whole word, or as much of it as shows before the screen's edge) is no junk.
        {
            std::map<std::string, int> asked, excused;
            for (const auto& w : truthWords) ++asked[w];
            for (const auto& w : bench::words(partly)) ++excused[w];
            const auto begins = [&](const std::string& w) {
                const auto at = std::find_if(cut.begin(), cut.end(), [&](const std::string& c) { return c.starts_with(w); });
                if (at == cut.end()) return false;
                cut.erase(at);
                return true;
            };
            std::erase_if(readWords,
                          [&](const std::string& w) { return asked[w]-- <= 0 && (excused[w]-- > 0 || begins(w)); });
        }
        row.truth += truthWords.size();
        row.read += readWords.size();
        row.found += found;
        row.recall.push_back(truthWords.empty() ? 1.0 : static_cast<double>(found) / truthWords.size());
        row.precision.push_back(readWords.empty() ? 1.0 : static_cast<double>(found) / readWords.size());
        // What the worst frames missed and read that is not on the page.
        const auto left = [&](const std::vector<std::string>& from, const std::vector<std::string>& in) {
            std::map<std::string, int> there;
            for (const auto& w : in) ++there[w];
            std::string out;
            for (const auto& w : from)
                if (there[w]-- <= 0 && out.size() < 300) out += w + " ";
            return out;
        };
        const std::string where = doc.name + " " + std::to_string(view.shown) + "x" + std::to_string(view.height) +
                                  " at scroll " + std::to_string(view.scroll);
        if (found < 0.98 * truthWords.size() && outliers_.size() < 24)
            outliers_.push_back("missed in " + where + ": " + left(truthWords, readWords));
        if (found < 0.98 * readWords.size() && outliers_.size() < 24)
            outliers_.push_back("not on the page in " + where + ": " + left(readWords, truthWords));
        for (const auto& link : doc.links) {
            if (!view.visible(link.x0, link.y0, link.x1, link.y1, doc.bar)) continue;
            const auto first = bench::words(link.first), second = bench::words(link.second);
            if (first.size() != 1 || second.size() != 1) continue;
            ++row.links;
            bool kept = false, joined = false;
            for (std::size_t i = 0; i < readWords.size(); ++i) {
                kept = kept || (i + 1 < readWords.size() && readWords[i] == first[0] && readWords[i + 1] == second[0]);
                joined = joined || readWords[i] == first[0] + second[0];
            }
            row.linksKept += kept;
            row.linksJoined += joined && !kept;
            if (!kept) ++misses_["link \"" + link.first + " " + link.second + "\"" + (joined ? " joined" : "")];
        }
        const auto drawn = drawnWords(truth), seen = drawnWords(read);
        std::vector<std::string> zeros;
        for (const auto& w : drawn)
            if (w.find_first_of("0O") != std::string::npos) zeros.push_back(w);
        const std::size_t kept = common(zeros, seen);
        row.zeros += zeros.size();
        row.zerosKept += kept;
        std::map<std::string, int> unmatched;
        for (const auto& w : seen) ++unmatched[w];
        for (const auto& z : zeros) {
            const auto letters = static_cast<std::size_t>(std::count_if(z.begin(), z.end(), [](char c) { return c == '0' || c == 'O'; }));
            row.zeroLetters += letters;
            if (unmatched[z]-- > 0) {
                row.zeroLettersKept += letters;
                continue;
            }
            std::string nearest;
            for (const auto& w : seen)
                if (nearest.empty() || agreement(w, z) > agreement(nearest, z)) nearest = w;
            // A word read with a letter or two wrong in ten still shows its 0s and Os; a word not read, or
            // read as another ("Z_MEM_ERROR" for "Z_STREAM_ERROR"), shows none of them.
            if (!nearest.empty() && agreement(nearest, z) >= 0.8) row.zeroLettersKept += zerosAligned(z, nearest);
            ++misses_["0/O word \"" + z + "\" (nearest read: \"" + nearest + "\") in " + doc.name];
        }
    }

    void print(const std::string& name, const Row& r) {
        std::printf("%-34s %3zu %3zu/%-3zu %7.3f %7.3f %7.3f %7.3f %7.3f  %6.1f%%  %6.2f%% %6.2f%%  %6.2f%% %6.2f%%\n",
                    name.c_str(), r.frames, r.exact, r.frames, median(r.cached), median(r.steps), worst(r.steps),
                    median(r.uncached), worst(r.uncached),
                    100.0 * r.piecesCached / std::max<std::uint64_t>(1, r.piecesCached + r.piecesRead),
                    100 * median(r.recall), 100 * least(r.recall), 100 * median(r.precision), 100 * least(r.precision));
        std::fflush(stdout);
        all_.frames += r.frames;
        all_.exact += r.exact;
        all_.truth += r.truth;
        all_.read += r.read;
        all_.found += r.found;
        all_.links += r.links;
        all_.linksKept += r.linksKept;
        all_.linksJoined += r.linksJoined;
        all_.zeros += r.zeros;
        all_.zerosKept += r.zerosKept;
        all_.zeroLetters += r.zeroLetters;
        all_.zeroLettersKept += r.zeroLettersKept;
        all_.recall.insert(all_.recall.end(), r.recall.begin(), r.recall.end());
        all_.precision.insert(all_.precision.end(), r.precision.begin(), r.precision.end());
    }

    bool smoke_;
    double rule_;
    std::shared_ptr<linuxplatform::TesseractRecognizer> engine_ = std::make_shared<linuxplatform::TesseractRecognizer>();
    // One reader and one capture for every window, as in the agent: sizes and scales change under them.
    linuxplatform::IncrementalRecognizer cached_{engine_};
    linuxplatform::ScaledFrameCache frames_;
    Row all_;
    std::map<std::string, Row> bySize_;
    std::map<std::string, int> misses_;  // each kind of miss, and how often
    std::vector<std::string> outliers_;
};

int runDocs(const std::string& dir, bool smoke, double rule, const std::string& only) {
    const auto doc = [&](const std::string& name, int width) {
        return Doc::load(QDir(QString::fromStdString(dir)).filePath(QString::fromStdString(name + "@" + std::to_string(width) + ".png")));
    };
    std::printf("windows over documentation drawn by Chromium, scaled %s\n",
                rule < 0 ? "to fit 2400 pixels (the former rule)"
                         : rule > 0 ? ("by " + std::to_string(rule)).c_str() : "as the screen reader asks");
    std::printf("%-34s %3s %7s %7s %7s %7s %7s %7s  %7s  %7s %7s  %7s %7s\n", "window (CPU s)", "frm", "=new", "cached",
                "step", "worst", "new rd", "worst", "cached", "recall", "worst", "precis", "worst");
    DocsBench bench(smoke, rule);
    const std::vector<std::string> names = smoke ? std::vector<std::string>{"zlib-how-dejavu"}
                                                 : std::vector<std::string>{"python-policy", "zlib-how-dejavu", "zlib-how-nimbus"};
    for (const auto& name : names) {
        if (!only.empty() && name != only) continue;
        const auto at1920 = doc(name, 1920), at1366 = doc(name, 1366), at1600 = doc(name, 1600), at1900 = doc(name, 1900),
                   at2560 = doc(name, 2560);
        if (!at1920 || !at1366 || !at1600) {
            std::printf("%s: pages missing in %s (bench/chromium-docs)\n", name.c_str(), dir.c_str());
            return 1;
        }
        bench.scroll(name, *at1920, 1920, 1053, 1920, "1920x1053");
        bench.scroll(name, *at1366, 1366, 705, 1366, "1366x705");
        bench.scroll(name, *at1600, 1600, 1000, 1600, "1600x1000");
        if (smoke) continue;
        if (at1900) bench.scroll(name, *at1900, 1900, 1000, 1900, "1900x1000");
        // A 1600-point window on a 1366-point screen: its right side is past the screen's edge.
        bench.scroll(name, *at1600, 1600, 705, 1366, "cut by edge");
        std::vector<std::pair<const Doc*, View>> steps = {{&*at1920, {1920, 1053, 300, 1920}},
                                                          {&*at1920, {1920, 900, 300, 1920}},
                                                          {&*at1920, {1920, 1053, 357, 1920}},
                                                          {&*at1366, {1366, 705, 357, 1366}}};
        if (at2560) steps.push_back({&*at2560, {2560, 1380, 357, 2560}});  // read at 1×
        steps.push_back({&*at1920, {1920, 1000, 414, 1920}});
        bench.resized(name, steps);
    }
    return bench.summary();
}

// The CPU-bound job of --load: a busy loop on every core for `seconds`; prints its iterations per second.
int runJob(double seconds) {
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    std::atomic<bool> stop{false};
    std::vector<std::atomic<std::uint64_t>> counts(cores);
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < cores; ++i)
        threads.emplace_back([&, i] {
            std::uint64_t x = i + 1, n = 0;
            while (!stop.load(std::memory_order_relaxed)) {
                for (int k = 0; k < 4096; ++k) x = x * 6364136223846793005u + 1442695040888963407u;
                n += 4096;
                counts[i].store(n + (x & 1), std::memory_order_relaxed);
            }
        });
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::uint64_t total = 0;
    for (auto& c : counts) total += c.load();
    stop = true;
    for (auto& t : threads) t.join();
    std::printf("%.6g\n", static_cast<double>(total) / elapsed);
    return 0;
}

// A changed screen read while a CPU-bound job runs on every core, and what the job keeps of its speed.
// This machine's speed drifts by several percent from one minute to the next, so runs beside the
// reader alternate with runs without it, and each is compared with the two around it; rounds over
// each of three pages, each with its own screen not read before.
int runLoad(const std::string& dir, bool smoke) {
    std::vector<Doc> docs;
    for (const char* name : {"python-policy", "zlib-how-dejavu", "zlib-how-nimbus"})
        if (auto doc = Doc::load(QDir(QString::fromStdString(dir)).filePath(QString(name) + "@1920.png")))
            docs.push_back(std::move(*doc));
    if (docs.empty()) {
        std::printf("load: no page @1920 in %s (bench/chromium-docs)\n", dir.c_str());
        return 1;
    }
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const double seconds = smoke ? 4 : 40;
    const auto wall = [] {
        timespec t{};
        clock_gettime(CLOCK_MONOTONIC, &t);
        return static_cast<double>(t.tv_sec) + t.tv_nsec * 1e-9;
    };
    // The job's speed, iterations per second, over `seconds` while `during` runs beside it; and the
    // share of the machine this process (the reader) took meanwhile. The job is a program of its
    // own in a session of its own, as a build started from a terminal is: the scheduler weighs it
    // against the reader as it weighs a user's build, not as threads of one process.
    double readerShare = 0, jobShare = 0, idleShare = 0;
    // The machine's idle time, seconds: time no one took is time the job was not given either.
    const auto idleSeconds = [] {
        std::ifstream stat("/proc/stat");
        std::string cpu;
        double user = 0, nice = 0, system = 0, idle = 0, iowait = 0;
        stat >> cpu >> user >> nice >> system >> idle >> iowait;
        return (idle + iowait) / static_cast<double>(sysconf(_SC_CLK_TCK));
    };
    const auto measure = [&](const std::function<void(double until)>& during) {
        int out[2];
        if (pipe(out) != 0) return 0.0;
        const std::string length = std::to_string(seconds);
        char* const args[] = {const_cast<char*>("incremental_bench"), const_cast<char*>("--job"),
                              const_cast<char*>(length.c_str()), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
        pid_t job = -1;
        const bool spawned = posix_spawn(&job, "/proc/self/exe", &actions, &attributes, args, environ) == 0;
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        close(out[1]);
        const double cpu0 = cpuSeconds(), idle0 = idleSeconds(), t0 = wall();
        if (spawned) during(t0 + seconds);
        double rate = 0;
        if (FILE* reply = fdopen(out[0], "r")) {
            if (std::fscanf(reply, "%lf", &rate) != 1) rate = 0;
            std::fclose(reply);
        } else {
            close(out[0]);
        }
        rusage usage{};
        if (spawned) wait4(job, nullptr, 0, &usage);
        const double elapsed = cores * (wall() - t0);
        readerShare = (cpuSeconds() - cpu0) / elapsed;
        idleShare = (idleSeconds() - idle0) / elapsed;
        // Beside the speed, which drifts with the machine's host: the processor time it was given.
        const auto toSeconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec * 1e-6; };
        jobShare = (toSeconds(usage.ru_utime) + toSeconds(usage.ru_stime)) / elapsed;
        return rate;
    };
    auto engine = std::make_shared<linuxplatform::TesseractRecognizer>();
    const auto [w, h] = ScreenReader::pixelSize(1920, 1053);
    linuxplatform::ScaledFrameCache frames;
    double aloneBefore = measure([](double) {});
    double aloneShareBefore = jobShare;
    std::printf("\nunder load: %u busy loops (one a core) in a program and session of their own, %.0f s each run\n", cores, seconds);
    // Rounds of `seconds` as the agent reads: a capture at each tick, none while a reading is under
    // way. The page scrolls three lines every 2 s, and 5 s in, the window shows a screen with nothing
    // of it read before: how long from that moment until its text is read, whatever reading was
    // under way then. The user then reads that screen, or goes on scrolling.
    const auto rounds = [&](const char* title, bool keepScrolling, int passes) {
        std::printf("%s\n", title);
        std::vector<double> scrolled, whole, kept, keptTime, taken;
        // The job's speed drifts by a few percent from one round to the next; with more than one
        // pass, each page is read again by a new reader, so that nothing of the first is at hand.
        for (int pass = 0; pass < passes; ++pass) {
            linuxplatform::IncrementalRecognizer reader(engine);
            for (const Doc& doc : docs) {
                const auto at = [&](int scroll) {
                    return *frames.scaled(bench::toImage(windowImage(doc, {1920, 1053, scroll, 1920})), w, h);
                };
                reader.recognize(at(0));
                const auto reading = [&](double until) {
                    const double start = wall(), changed = start + std::min(5.0, seconds / 4);
                    int last = 0;
                    bool seen = false;
                    for (double tick = start; tick < until; tick += ScreenReader::tickSeconds) {
                        if (wall() > tick + 0.1) continue;  // the reader was busy
                        while (wall() < tick) std::this_thread::sleep_for(std::chrono::milliseconds(5));
                        const bool after = tick >= changed;
                        const double scrolling = after && !keepScrolling ? changed : tick;
                        const int scroll = 57 * static_cast<int>((scrolling - start) / 2) + (after ? 1500 : 0);
                        const double t0 = wall();
                        reader.recognize(at(scroll));
                        if (after && !seen) whole.push_back(wall() - changed);
                        else if (scroll != last) scrolled.push_back(wall() - t0);
                        seen = seen || after;
                        last = scroll;
                    }
                };
                const auto pausedBefore = reader.counts().paused;
                const double beside = measure(reading);
                const double besideShare = jobShare, idle = idleShare;
                taken.push_back(readerShare);
                const auto paused = std::chrono::duration<double>(reader.counts().paused - pausedBefore).count();
                const double aloneAfter = measure([](double) {});
                kept.push_back(beside / ((aloneBefore + aloneAfter) / 2));
                keptTime.push_back(besideShare / ((aloneShareBefore + jobShare) / 2));
                std::printf("  %-16s the job alone %.3g, beside the reader %.3g, alone %.3g iterations/s: keeps %.1f %% "
                            "(%.1f %% of its processor time)\n",
                            doc.name.c_str(), aloneBefore, beside, aloneAfter, 100 * kept.back(), 100 * keptTime.back());
                std::printf("  %-16s the reader took %.2f %% and paused %.1f s; the machine stood idle %.2f %% (alone %.2f %%); "
                            "a screen not read before: %s\n",
                            "", 100 * taken.back(), paused, 100 * idle, 100 * idleShare,
                            whole.size() < kept.size() ? "not reached"
                                                       : (std::to_string(whole.back()).substr(0, 5) + " s").c_str());
                aloneBefore = aloneAfter;
                aloneShareBefore = jobShare;
            }
        }
        std::printf("  the job keeps %.1f %% (median of %zu rounds), worst %.1f %% (target >= 95 %%)\n",
                    100 * median(kept), kept.size(), 100 * *std::min_element(kept.begin(), kept.end()));
        std::printf("  and %.1f %% of its processor time (median), worst %.1f %%\n", 100 * median(keptTime),
                    100 * *std::min_element(keptTime.begin(), keptTime.end()));
        std::printf("  the reader took %.2f %% of the machine (median), at most %.2f %%\n", 100 * median(taken),
                    100 * worst(taken));
        std::printf("  a scrolled screen read in %.1f s (median of %zu), worst %.1f s; a screen not read before, from "
                    "the moment it showed: %.1f s (median of %zu), worst %.1f s (target <= 30 s)\n",
                    median(scrolled), scrolled.size(), worst(scrolled), median(whole), whole.size(), worst(whole));
    };
    rounds("a page scrolled, then another page opened and read", false, smoke ? 1 : 2);
    if (!smoke) rounds("a page scrolled, then another page opened and scrolled on", true, 1);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    bool smoke = false, whole = false, onlyPages = false, load = false;
    double rule = 0;
    std::string pages, docs, only;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--smoke") == 0) smoke = true;
        else if (std::strcmp(argv[i], "--whole-layout") == 0) whole = true;
        else if (std::strcmp(argv[i], "--only-pages") == 0) onlyPages = true;
        else if (std::strncmp(argv[i], "--pages=", 8) == 0) pages = argv[i] + 8;
        else if (std::strncmp(argv[i], "--docs=", 7) == 0) docs = argv[i] + 7;
        else if (std::strcmp(argv[i], "--rule=fit") == 0) rule = -1;
        else if (std::strncmp(argv[i], "--rule=", 7) == 0) rule = std::atof(argv[i] + 7);
        else if (std::strcmp(argv[i], "--load") == 0) load = true;
        else if (std::strcmp(argv[i], "--job") == 0 && i + 1 < argc) return runJob(std::atof(argv[i + 1]));
        else if (std::strncmp(argv[i], "--only=", 7) == 0) only = argv[i] + 7;
    }
    QGuiApplication app(argc, argv);
    if (load) return runLoad(docs, smoke);
    if (!docs.empty()) return runDocs(docs, smoke, rule, only);
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
            if (static_cast<int>(s.frames.size()) > (smoke ? 2 : n + 1)) break;
            layout.first += static_cast<std::size_t>(step);
            s.frames.push_back(bench::render(layout));
        }
        bench.run(s);
    }
    if (!onlyPages) {
        // A window resized and moved between displays read at 2× and 1×, typed into between.
        Sequence s{"resized and rescaled, Sans 15 light", {}};
        auto layout = bench::denseLayout("DejaVu Sans", 15, false, 1, next());
        const std::vector<std::tuple<int, int, double>> sizes = {{1920, 1053, 0}, {1366, 705, 0}, {1920, 1053, 1},
                                                                 {1600, 1000, 0}, {1920, 900, 0}, {1920, 1080, 1}};
        for (std::size_t i = 0; i < sizes.size() && i < (smoke ? 3u : static_cast<std::size_t>(n) + 2); ++i) {
            const auto [width, height, factor] = sizes[i];
            if (i % 2 == 1) bench::typeWord(layout, next() % 20, next());
            const auto [w, h] = pixelsFor(width, height, factor);
            s.frames.push_back(imagescaling::resize(bench::corner(bench::rendered(layout), width, height), w, h));
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
