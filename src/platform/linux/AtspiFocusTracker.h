#pragma once
// Follows the element with keyboard focus across the desktop and keeps a reading of its text that
// is fresh whenever someone asks: focus events say which element, its text and caret events say
// when to read it again (a burst of keystrokes gives one reading), and an element whose
// application never tells of its edits is read on a short period instead. Applications that only
// show their content to an assistive technology that asks for it (Chromium and every Electron
// program) are asked the way screen readers ask. Everything here runs on one thread with a GLib
// main context (libatspi is single-threaded); only the published reading crosses threads.
#include <atspi/atspi.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace linuxplatform {

class AtspiFocusTracker {
public:
    struct Reading {
        std::optional<std::string> value;
        std::optional<std::string> selectedText;
    };
    // The latest reading; `read` is false before the first one, when nothing has focus and when
    // the focused element's application is gone.
    struct Published {
        bool read = false;
        Reading reading;
    };

    // Every libatspi call that waits on an application gives up after this.
    static constexpr int queryTimeoutMs = 250;
    // Edits closer together than this give one reading.
    static constexpr std::chrono::milliseconds coalesce{40};
    // How often the focused element is read while its application has not told of any edit, and
    // once it has.
    static constexpr std::chrono::milliseconds silentPeriod{500};
    static constexpr std::chrono::milliseconds recheckPeriod{2000};

    AtspiFocusTracker();
    ~AtspiFocusTracker();
    AtspiFocusTracker(const AtspiFocusTracker&) = delete;
    AtspiFocusTracker& operator=(const AtspiFocusTracker&) = delete;

    // On the tracker's thread, with `context` its thread default. False when no accessibility
    // bus can be reached (then nothing is ever read).
    bool start(GMainContext* context);
    void stop();

    // Any thread.
    Published latest() const;

private:
    static void onEvent(AtspiEvent* event, void* data);
    static gboolean onReadDue(gpointer data);
    static gboolean onSilentPeriod(gpointer data);

    void focusChanged(AtspiAccessible* source, bool gained);
    void edited(AtspiAccessible* source, bool caret);
    void windowActivated(AtspiAccessible* window);
    void setFocused(AtspiAccessible* object);
    void scheduleRead();
    void cancelTimers();
    void readNow();
    std::optional<Reading> read();
    void publish(const std::optional<Reading>& reading);

    GMainContext* context_ = nullptr;
    AtspiEventListener* listener_ = nullptr;
    AtspiAccessible* focused_ = nullptr;
    // The focused element's application told of an edit since the focus came to it.
    bool editsHeard_ = false;
    GSource* readDue_ = nullptr;
    GSource* silent_ = nullptr;

    mutable std::mutex mutex_;
    Published published_;
};

}  // namespace linuxplatform
