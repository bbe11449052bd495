#include "Frames.h"

#include <algorithm>
#include <cctype>
#include <sstream>

#include <QFont>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>

#include "platform/linux/common/ImageScaling.h"
#include "signals/ScreenReader.h"

namespace bench {

namespace {

const char* const kWords[] = {
    "morning", "coffee", "meeting", "project", "deadline", "tired", "weekend", "family", "music", "walk",
    "window", "garden", "letter", "friend", "quiet", "evening", "river", "market", "travel", "story",
    "screen", "message", "reply", "schedule", "dinner", "careful", "simple", "moment", "breath", "notes"};
constexpr std::size_t kWordCount = sizeof kWords / sizeof *kWords;
constexpr int kWidth = 1920, kHeight = 1080, kMarginX = 60, kMarginY = 50, kGutter = 80;

std::string word(unsigned& seed) {
    seed = seed * 1103515245u + 12345u;
    return kWords[(seed >> 16) % kWordCount];
}

int lineStep(int pixelSize) { return pixelSize * 3 / 2; }

}  // namespace

Layout denseLayout(const std::string& family, int pixelSize, bool dark, int columns, unsigned seed) {
    Layout layout;
    layout.family = family;
    layout.pixelSize = pixelSize;
    layout.dark = dark;
    layout.columns = columns;
    QFont font(QString::fromStdString(family));
    font.setPixelSize(pixelSize);
    const QFontMetrics metrics(font);
    const int columnWidth = (kWidth - 2 * kMarginX - (columns - 1) * kGutter) / columns;
    const int perColumn = (kHeight - 2 * kMarginY) / lineStep(pixelSize);
    for (int i = 0; i < perColumn * columns; ++i) {
        std::vector<std::string> line;
        std::string text;
        // Leave room for a few typed words at the end.
        for (;;) {
            const std::string next = word(seed);
            const std::string candidate = text.empty() ? next : text + " " + next;
            if (metrics.horizontalAdvance(QString::fromStdString(candidate)) > columnWidth * 3 / 4) break;
            text = candidate;
            line.push_back(next);
        }
        layout.lines.push_back(std::move(line));
    }
    return layout;
}

Layout longLayout(const std::string& family, int pixelSize, bool dark, std::size_t count, unsigned seed) {
    Layout layout = denseLayout(family, pixelSize, dark, 1, seed);
    for (std::size_t i = layout.lines.size(); i < count; ++i) layout.lines.push_back(layout.lines[(i * 7 + seed) % i]);
    // Every line its own: a repeated line would read the same wherever it is.
    for (std::size_t i = 0; i < layout.lines.size(); ++i) layout.lines[i].front() = word(seed) + std::to_string(i);
    return layout;
}

int linesPerColumn(const Layout& layout) { return (kHeight - 2 * kMarginY) / lineStep(layout.pixelSize); }

void typeWord(Layout& layout, std::size_t line, unsigned seed) {
    if (line < layout.lines.size()) layout.lines[line].push_back(word(seed));
}

platform::Image rendered(const Layout& layout) {
    QImage screen(kWidth, kHeight, QImage::Format_RGBA8888);
    screen.fill(layout.dark ? QColor(30, 30, 34) : QColor(250, 250, 250));
    QPainter p(&screen);
    QFont font(QString::fromStdString(layout.family));
    font.setPixelSize(layout.pixelSize);
    p.setFont(font);
    p.setPen(layout.dark ? QColor(225, 225, 225) : QColor(25, 25, 25));
    const int step = lineStep(layout.pixelSize);
    const int columnWidth = (kWidth - 2 * kMarginX - (layout.columns - 1) * kGutter) / layout.columns;
    const int perColumn = (kHeight - 2 * kMarginY) / step;
    const std::size_t shown = static_cast<std::size_t>(perColumn * layout.columns);
    for (std::size_t i = layout.first; i < layout.lines.size() && i < layout.first + shown; ++i) {
        const int at = static_cast<int>(i - layout.first);
        const int column = at / perColumn, row = at % perColumn;
        std::string text;
        for (const auto& w : layout.lines[i]) text += (text.empty() ? "" : " ") + w;
        p.drawText(kMarginX + column * (columnWidth + kGutter), kMarginY + (row + 1) * step,
                   QString::fromStdString(text));
    }
    if (!layout.picture.empty()) {
        const QImage picture(layout.picture.data(), layout.pictureWidth, layout.pictureHeight, QImage::Format_RGBA8888);
        p.drawImage(layout.pictureX, layout.pictureY, picture);
    }
    for (const auto& box : layout.boxes) {
        if (box.framed) {
            p.fillRect(box.x, box.y, box.width, box.height, layout.dark ? QColor(50, 50, 58) : QColor(236, 236, 240));
            p.setPen(layout.dark ? QColor(120, 120, 130) : QColor(150, 150, 160));
            p.drawRect(box.x, box.y, box.width - 1, box.height - 1);
        }
        p.setPen(layout.dark ? QColor(225, 225, 225) : QColor(25, 25, 25));
        for (std::size_t i = 0; i < box.lines.size(); ++i)
            p.drawText(box.x + 16, box.y + static_cast<int>(i + 1) * step + 8, QString::fromStdString(box.lines[i]));
    }
    p.end();
    platform::Image image;
    image.width = kWidth;
    image.height = kHeight;
    image.rgba.resize(static_cast<std::size_t>(kWidth) * kHeight * 4);
    for (int y = 0; y < kHeight; ++y)
        std::copy_n(screen.constScanLine(y), kWidth * 4, image.rgba.data() + static_cast<std::size_t>(y) * kWidth * 4);
    return image;
}

platform::Image render(const Layout& layout) {
    const auto [width, height] = ScreenReader::pixelSize(kWidth, kHeight);
    return imagescaling::resize(rendered(layout), width, height);
}

platform::Image corner(const platform::Image& image, int width, int height) {
    platform::Image out;
    out.width = std::min(width, image.width);
    out.height = std::min(height, image.height);
    out.rgba.resize(static_cast<std::size_t>(out.width) * out.height * 4);
    for (int y = 0; y < out.height; ++y)
        std::copy_n(image.rgba.data() + static_cast<std::size_t>(y) * image.width * 4, out.width * 4,
                    out.rgba.data() + static_cast<std::size_t>(y) * out.width * 4);
    return out;
}

std::string truth(const Layout& layout) {
    std::string out;
    for (const auto& line : layout.lines)
        for (const auto& w : line) out += w + " ";
    return out;
}

std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string w;
    while (in >> w) {
        w.erase(std::remove_if(w.begin(), w.end(), [](unsigned char c) { return !std::isalnum(c); }), w.end());
        std::transform(w.begin(), w.end(), w.begin(), [](unsigned char c) { return std::tolower(c); });
        if (!w.empty()) out.push_back(w);
    }
    return out;
}

std::vector<std::string> runs(const std::string& text) {
    std::vector<std::string> out;
    std::string w;
    for (const char c : text + " ") {
        if (std::isalnum(static_cast<unsigned char>(c))) {
            w += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        } else if (!w.empty()) {
            out.push_back(std::move(w));
            w.clear();
        }
    }
    return out;
}

std::size_t matched(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    std::vector<std::size_t> prev(b.size() + 1, 0), cur(b.size() + 1, 0);
    for (const auto& t : a) {
        for (std::size_t j = 1; j <= b.size(); ++j)
            cur[j] = t == b[j - 1] ? prev[j - 1] + 1 : std::max(prev[j], cur[j - 1]);
        std::swap(prev, cur);
    }
    return prev[b.size()];
}

std::string joined(const std::optional<std::vector<std::optional<std::string>>>& lines) {
    std::string out;
    if (!lines) return out;
    for (const auto& l : *lines)
        if (l) out += *l + " ";
    return out;
}

platform::Image toImage(const QImage& source) {
    const QImage rgba = source.convertToFormat(QImage::Format_RGBA8888);
    platform::Image image;
    image.width = rgba.width();
    image.height = rgba.height();
    image.rgba.resize(static_cast<std::size_t>(image.width) * image.height * 4);
    for (int y = 0; y < image.height; ++y)
        std::copy_n(rgba.constScanLine(y), image.width * 4, image.rgba.data() + static_cast<std::size_t>(y) * image.width * 4);
    return image;
}

}  // namespace bench
