#include "platform/linux/shell/QtOwnWindows.h"

#include <QApplication>
#include <QEvent>
#include <QImage>
#include <QTimer>
#include <QWidget>
#include <cstring>
#include <memory>
#include <utility>

#include "platform/linux/common/OwnWindows.h"

namespace linuxplatform {

namespace {

std::uintptr_t keyOf(const QObject* window) { return reinterpret_cast<std::uintptr_t>(window); }

}  // namespace

void QtOwnWindows::install() {
    auto* app = qApp;
    if (!app) return;
    app->installEventFilter(new QtOwnWindows(app));
}

QtOwnWindows::QtOwnWindows(QObject* parent) : QObject(parent), settle_(new QTimer(this)) {
    settle_->setSingleShot(true);
    settle_->setInterval(250);
    connect(settle_, &QTimer::timeout, this, [this] {
        const auto redrawn = std::exchange(redrawn_, {});
        for (QObject* watched : redrawn) {
            // Only windows still alive are in watching_; a pointer is not touched before that check.
            if (!watching_.contains(watched)) continue;
            if (auto* w = qobject_cast<QWidget*>(watched); w && w->isVisible()) publish(w);
        }
    });
}

void QtOwnWindows::publish(QWidget* window) {
    const QRect frame = window->frameGeometry();
    const QRect client = window->geometry();
    OwnWindows::Window own;
    own.frame = DesktopRect{frame.x(), frame.y(), frame.width(), frame.height()};
    own.client = DesktopRect{client.x(), client.y(), client.width(), client.height()};
    const auto flags = window->windowFlags();
    own.onTop = flags.testFlag(Qt::WindowStaysOnTopHint) || flags.testFlag(Qt::X11BypassWindowManagerHint) ||
                window->windowType() == Qt::Popup || window->windowType() == Qt::ToolTip;
    if (!own.onTop) {
        // How it looks, in the pixels a picture of the screen has at this scale.
        grabbing_ = true;
        const QImage drawn = window->grab().toImage().convertToFormat(QImage::Format_RGBA8888);
        grabbing_ = false;
        if (drawn.width() == client.width() && drawn.height() == client.height()) {
            auto look = std::make_shared<platform::Image>();
            look->width = drawn.width();
            look->height = drawn.height();
            look->rgba.resize(static_cast<std::size_t>(look->width) * look->height * 4);
            for (int row = 0; row < look->height; ++row)
                std::memcpy(look->rgba.data() + static_cast<std::size_t>(row) * look->width * 4, drawn.constScanLine(row),
                            static_cast<std::size_t>(look->width) * 4);
            own.look = std::move(look);
        }
    }
    OwnWindows::shared().showWindow(keyOf(window), own);
}

bool QtOwnWindows::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::Show:
    case QEvent::Move:
    case QEvent::Resize:
    case QEvent::WindowActivate:
    case QEvent::WindowDeactivate:
    case QEvent::Hide:
        break;
    case QEvent::Paint:
        // Its look changed (a status line, a switch): taken again once the drawing settles.
        if (auto* widget = qobject_cast<QWidget*>(watched); widget && !grabbing_) {
            QWidget* window = widget->window();
            if (watching_.contains(window)) {
                redrawn_.insert(window);
                if (!settle_->isActive()) settle_->start();
            }
        }
        return false;
    default:
        return false;
    }
    auto* widget = qobject_cast<QWidget*>(watched);
    if (!widget || !widget->isWindow()) return false;
    switch (event->type()) {
    case QEvent::Hide:
        OwnWindows::shared().hidden(keyOf(widget));
        break;
    case QEvent::WindowActivate:
    case QEvent::WindowDeactivate:
        OwnWindows::shared().setActive(keyOf(widget), event->type() == QEvent::WindowActivate);
        break;
    default:
        if (!widget->isVisible()) break;
        publish(widget);
        // A window deleted while shown sends no hide.
        if (!watching_.contains(widget)) {
            watching_.insert(widget);
            connect(widget, &QObject::destroyed, this, [this, key = keyOf(widget)](QObject* gone) {
                watching_.remove(gone);
                redrawn_.remove(gone);
                OwnWindows::shared().hidden(key);
            });
        }
    }
    return false;
}

}  // namespace linuxplatform
