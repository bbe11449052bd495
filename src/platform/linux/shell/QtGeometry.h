#pragma once
#include <algorithm>
#include <cmath>

#include <QFont>
#include <QGuiApplication>
#include <QColor>
#include <QRect>
#include <QScreen>
#include <QTextOption>

#include "platform/Geometry.h"
#include "platform/Windowing.h"

namespace linuxplatform {

// The logic's screen coordinates grow upward from the bottom-left of the primary screen;
// Qt's grow downward from the top-left of the virtual desktop.
inline double primaryBottom() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) return 0;
    const QRect g = screen->geometry();
    return g.y() + g.height();
}

inline platform::Rect toLogic(const QRectF& r) {
    return platform::Rect{r.x(), primaryBottom() - (r.y() + r.height()), r.width(), r.height()};
}

inline QPointF toQtTopLeft(platform::Point bottomLeft, double height) {
    return QPointF(bottomLeft.x, primaryBottom() - (bottomLeft.y + height));
}

// Sizes are in points of the logic's screen, which are the desktop's pixels.
inline QFont toQFont(const platform::Font& f) {
    QFont font = QGuiApplication::font();
    font.setPixelSize(std::max(1, static_cast<int>(std::lround(f.size))));
    font.setBold(f.bold);
    return font;
}

// Panel text wraps between words, and inside a word only when the word alone is wider than the
// line (a long URL). Measuring and drawing both use it, so the height given is the height drawn.
inline QTextOption panelTextOption() {
    QTextOption option(Qt::AlignLeft | Qt::AlignTop);
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    return option;
}

inline QColor toQColor(const platform::Color& c) { return QColor::fromRgbF(c.r, c.g, c.b, c.a); }

}  // namespace linuxplatform
