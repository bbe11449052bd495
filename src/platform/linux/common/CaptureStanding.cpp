#include "platform/linux/common/CaptureStanding.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <memory>

namespace linuxplatform {

void CaptureStanding::set(State state, const std::string& why) {
    {
        std::lock_guard lock(mutex_);
        if (state_ == state && why_ == why) return;
        // Asked again after the user said no: the window still says why nothing is read meanwhile.
        if (state == State::Asking && (state_ == State::Declined || state_ == State::Stopped))
            refused_ = state_;
        else if (state != State::Asking)
            refused_ = State::NotAsked;
        state_ = state;
        why_ = why;
    }
    auto* app = QCoreApplication::instance();
    if (!app) return;
    QMetaObject::invokeMethod(
        app,
        [weak = weak_from_this()] {
            auto self = weak.lock();
            if (!self) return;
            const auto handlers = self->handlers_;
            for (const auto& handler : handlers) handler();
        },
        Qt::QueuedConnection);
}

CaptureStanding::State CaptureStanding::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

std::string CaptureStanding::why() const {
    std::lock_guard lock(mutex_);
    return why_;
}

void CaptureStanding::onChange(std::function<void()> handler) { handlers_.push_back(std::move(handler)); }

void CaptureStanding::setAskAgain(std::function<void()> ask) {
    std::lock_guard lock(mutex_);
    ask_ = std::move(ask);
}

void CaptureStanding::askAgain() const {
    std::function<void()> ask;
    {
        std::lock_guard lock(mutex_);
        if (state_ == State::Sharing || state_ == State::Asking) return;
        ask = ask_;
    }
    if (ask) ask();
}

const char* CaptureStanding::name(State state) {
    switch (state) {
    case State::NotAsked: return "not-asked";
    case State::Asking: return "asking";
    case State::Sharing: return "sharing";
    case State::Declined: return "declined";
    case State::Stopped: return "stopped";
    case State::Lost: return "lost";
    }
    return "unknown";
}

std::string CaptureStanding::explanation() const {
    std::lock_guard lock(mutex_);
    switch (state_) {
    case State::Declined:
        return "Your screen was not shared in the desktop’s dialog, so no screen text is read. The desktop asks "
               "again each time this window opens while Screen text is on.";
    case State::Stopped:
        return "Screen sharing was stopped from the desktop, so the agent forgot that choice and reads no screen "
               "text. The desktop asks again each time this window opens while Screen text is on.";
    case State::Lost:
        return "Screen sharing was lost (" + why_ + "). The agent is trying again by itself.";
    case State::Asking:
        if (refused_ == State::Declined)
            return "Your screen was not shared in the desktop’s dialog, so no screen text is read until you choose "
                   "a screen there.";
        if (refused_ == State::Stopped)
            return "Screen sharing was stopped from the desktop, so the agent forgot that choice and reads no "
                   "screen text until you choose a screen in the desktop’s dialog.";
        return "Waiting for you to choose a screen in the desktop’s dialog.";
    default:
        return "";
    }
}

}  // namespace linuxplatform
