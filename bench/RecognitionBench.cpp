// Word accuracy and time of on-device text recognition on full-screen images rendered here:
// several fonts and sizes, light and dark themes, at 1920×1080.
//   QT_QPA_PLATFORM=offscreen build/bench/recognition_bench
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include "Frames.h"
#include "platform/linux/recognition/TesseractRecognizer.h"

namespace {

const char* const kWords[] = {
    "morning", "coffee", "meeting", "project", "deadline", "tired", "weekend", "family", "music", "walk",
    "window", "garden", "letter", "friend", "quiet", "evening", "river", "market", "travel", "story",
    "screen", "message", "reply", "schedule", "dinner", "window", "careful", "simple", "moment", "breath"};

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    linuxplatform::TesseractRecognizer recognizer;
    std::vector<double> times;
    std::size_t totalWords = 0, totalMatched = 0;
    unsigned seed = 7;
    std::printf("%-18s %4s %-5s %8s %8s\n", "font", "px", "theme", "accuracy", "seconds");
    for (const char* family : {"DejaVu Sans", "DejaVu Serif", "DejaVu Sans Mono"}) {
        for (int px : {12, 15, 20}) {
            for (bool dark : {false, true}) {
                QImage screen(1920, 1080, QImage::Format_RGB32);
                screen.fill(dark ? QColor(30, 30, 34) : QColor(250, 250, 250));
                QPainter p(&screen);
                QFont font(family);
                font.setPixelSize(px);
                p.setFont(font);
                p.setPen(dark ? QColor(225, 225, 225) : QColor(25, 25, 25));
                std::string truth;
                const int lineHeight = px * 2;
                for (int y = 60; y + lineHeight < 1040; y += lineHeight * 2) {
                    std::string line;
                    for (int i = 0; i < 9; ++i) {
                        seed = seed * 1103515245u + 12345u;
                        line += std::string(kWords[(seed >> 16) % (sizeof kWords / sizeof *kWords)]) + " ";
                    }
                    p.drawText(80, y, QString::fromStdString(line));
                    truth += line;
                }
                p.end();
                const platform::Image image = bench::toImage(screen);
                const auto t0 = std::chrono::steady_clock::now();
                auto lines = recognizer.recognize(image);
                const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
                times.push_back(seconds);
                std::string got;
                if (lines)
                    for (const auto& l : *lines)
                        if (l) got += *l + " ";
                const auto truthWords = bench::words(truth);
                const auto m = bench::matched(truthWords, bench::words(got));
                totalWords += truthWords.size();
                totalMatched += m;
                std::printf("%-18s %4d %-5s %7.1f%% %8.2f\n", family, px, dark ? "dark" : "light",
                            100.0 * m / truthWords.size(), seconds);
            }
        }
    }
    std::sort(times.begin(), times.end());
    std::printf("word accuracy %.1f%% over %zu words; median %.2f s per 1920x1080 screen\n",
                100.0 * totalMatched / totalWords, totalWords, times[times.size() / 2]);
    return 0;
}
