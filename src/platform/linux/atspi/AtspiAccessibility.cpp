#include "platform/linux/atspi/AtspiAccessibility.h"

#include <glib.h>

#include <atomic>
#include <chrono>
#include <mutex>

#include "platform/linux/atspi/AtspiFocusTracker.h"
#include "platform/linux/atspi/AtspiThread.h"

namespace linuxplatform {

namespace {

// libatspi keeps process-wide state; only one tracker thread may use it at a time.
std::atomic<bool> trackerRunning{false};

class AtspiElement final : public platform::AXElement {
public:
    explicit AtspiElement(AtspiFocusTracker::Reading reading) : reading_(std::move(reading)) {}
    std::optional<platform::AXValue> attribute(const std::string& name) override {
        const std::optional<std::string>* text = nullptr;
        if (name == "AXValue") text = &reading_.value;
        else if (name == "AXSelectedText") text = &reading_.selectedText;
        if (!text || !*text) return std::nullopt;
        return platform::AXValue{true, **text};
    }

private:
    AtspiFocusTracker::Reading reading_;
};

}  // namespace

struct AtspiAccessibility::Impl {
    // Lives on, and is touched only from, the AT-SPI thread (its published reading excepted).
    std::shared_ptr<AtspiFocusTracker> tracker = std::make_shared<AtspiFocusTracker>();
    std::shared_ptr<GMainThread> thread;
    bool ownsLibrary = false;
};

AtspiAccessibility::AtspiAccessibility() : impl_(std::make_unique<Impl>()) {
    auto tracker = impl_->tracker;
    // A second instance never finds a focused element.
    impl_->ownsLibrary = !trackerRunning.exchange(true);
    // The context is the thread's default for its whole life.
    const bool owns = impl_->ownsLibrary;
    impl_->thread = sharedAtspiThread();
    impl_->thread->post([tracker, owns] {
        if (owns) tracker->start(g_main_context_get_thread_default());
    });
}

AtspiAccessibility::~AtspiAccessibility() {
    // Ended on its own thread without waiting: the caller (a withdrawal, on the main thread) must not
    // hang on an application that takes its time to answer. Each libatspi call is bounded, so the
    // listeners are gone within a moment; nobody asks this reader for anything in between.
    auto tracker = impl_->tracker;
    impl_->thread->post([tracker] { tracker->stop(); });
    if (impl_->ownsLibrary) trackerRunning.store(false);
}

std::shared_ptr<platform::AXElement> AtspiAccessibility::focusedElement() {
    FocusedPlace place;
    return focusedElementWithPlace(place);
}

std::shared_ptr<platform::AXElement> AtspiAccessibility::focusedElementWithPlace(FocusedPlace& place) {
    place = FocusedPlace{};
    if (!impl_->ownsLibrary) return nullptr;
    auto latest = impl_->tracker->latest();
    if (!latest.read) return nullptr;
    place = FocusedPlace{latest.place.pid, latest.place.application, latest.place.windowTitle};
    return std::make_shared<AtspiElement>(std::move(latest.reading));
}

}  // namespace linuxplatform
