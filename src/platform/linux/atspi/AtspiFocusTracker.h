#pragma once
// Follows the element with keyboard focus across the desktop and keeps a reading of the field being
// typed in that is fresh whenever someone asks. Only a field one types in is read (an editable
// element, or its editable part that holds the focus or the caret), never a page being read, a
// terminal or a label; never a password field, nor one that has been a password field; each
// reading is bounded in characters and in calls to the application. Focus events say which
// element, its own text and caret events say when to read it again (a burst of keystrokes gives
// one reading), and an element whose application never tells of its edits is read on a short
// period instead. Applications that only show their content to an assistive technology that asks
// for it (Chromium and every Electron program) are asked the way screen readers ask. Everything here runs on one thread with a GLib
// main context (libatspi is single-threaded); only the published reading crosses threads.
#include <atspi/atspi.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
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
    // Where the focused element is: its application's process and name, its window's title.
    struct Place {
        int pid = 0;
        std::string application;
        std::string windowTitle;
    };
    struct Published {
        bool read = false;
        Reading reading;
        Place place;
    };

    // Every libatspi call that waits on an application gives up after this.
    static constexpr int queryTimeoutMs = 600;
    // A busy application is asked again after this.
    static constexpr std::chrono::milliseconds retryDelay{200};
    // Edits closer together than this give one reading: someone typing is read a few times a
    // second, which is as fresh as those who ask for the text need it (every 1.5 s at most).
    static constexpr std::chrono::milliseconds coalesce{250};
    // How often the focused element is read while it is a field one types in and its application
    // has not told of any edit, and otherwise.
    static constexpr std::chrono::milliseconds silentPeriod{500};
    static constexpr std::chrono::milliseconds recheckPeriod{2000};
    // How often the desktop's applications are counted, to ask new ones for their content.
    static constexpr std::chrono::milliseconds applicationsPeriod{1000};
    // The most of a field's text one reading takes: a longer text is read around its caret.
    static constexpr int maxCharacters = 16 * 1024;
    // Fields that were password fields, remembered while there are no more than this.
    static constexpr std::size_t maxRememberedSecrets = 256;

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
    void onEvent(const AtspiEvent& event);
    void rememberSecret(AtspiAccessible* object);
    static gboolean onReadDue(gpointer data);
    static gboolean onSilentPeriod(gpointer data);
    static gboolean onApplicationsPeriod(gpointer data);
    void askNewApplications();

    void focusChanged(AtspiAccessible* source, bool gained);
    void edited(AtspiAccessible* source, bool caret);
    void windowActivated(AtspiAccessible* window);
    static bool isOwn(AtspiAccessible* object);
    void setFocused(AtspiAccessible* object);
    void scheduleRead(std::chrono::milliseconds delay = coalesce);
    void cancelTimers();
    void readNow();
    // `refind`: when the focused element is gone, look once for the focus again in its application.
    std::optional<Reading> read(bool refind = true);
    void publish(const std::optional<Reading>& reading);
    // Asked once per focused element (and again when its window is activated).
    void learnPlace();
    Place place_;

    GMainContext* context_ = nullptr;
    std::uint64_t subscription_ = 0;
    AtspiAccessible* focused_ = nullptr;
    AtspiAccessible* focusedApp_ = nullptr;
    // The focused element is, or has been, a password field.
    bool secret_ = false;
    std::set<std::string> secrets_;  // where such fields are, by application and object path
    AtspiAccessible* previousSecret_ = nullptr;  // the password field the focus just left
    // The focused element's application told of an edit since the focus came to it.
    bool editsHeard_ = false;
    // The last reading found the focused element's application too busy to answer.
    bool unanswered_ = false;
    GSource* readDue_ = nullptr;
    GSource* silent_ = nullptr;
    GSource* applicationsWatch_ = nullptr;
    gint lastApplications_ = -1;
    std::set<std::string> asked_;  // bus names of the applications asked for their content
    // Bus names of the applications that sent us any event. One that never does (a Qt 5 bridge
    // that came up before it could see our listeners stays silent for good) is looked at instead.
    std::set<std::string> heard_;
    bool heardFrom(AtspiAccessible* object) const;
    void findFocusInSilentApplications(AtspiAccessible* desktop, gint apps);

    mutable std::mutex mutex_;
    Published published_;
};

}  // namespace linuxplatform
