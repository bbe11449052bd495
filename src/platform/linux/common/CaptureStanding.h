#pragma once
// Where screen sharing stands, for a capture that depends on a grant the desktop keeps (the
// ScreenCast portal): shared, being asked, declined or stopped by the user, or lost and being
// tried again. The capture sets it from any thread; the log and the privacy window follow it on the
// main thread. The window asks again through `askAgain` when the user opens it.
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace linuxplatform {

class CaptureStanding : public std::enable_shared_from_this<CaptureStanding> {
public:
    enum class State {
        NotAsked,  // nothing asked yet (or screen text is off)
        Asking,    // the desktop may be showing its dialog
        Sharing,
        Declined,  // the user said no in the desktop's dialog: asked again only when the user acts
        Stopped,   // the user stopped the sharing from the desktop: its grant is forgotten
        Lost,      // the sharing ended without the user: tried again with a backoff
    };

    // Any thread; handlers run on the main thread when the state or its reason changed. Held by a
    // shared_ptr.
    void set(State state, const std::string& why);
    State state() const;
    std::string why() const;
    // Main thread.
    void onChange(std::function<void()> handler);

    // What the user's opening the privacy window does: asks the desktop again at once, unless shared.
    void setAskAgain(std::function<void()> ask);
    void askAgain() const;

    // For the log: "sharing", "declined"...
    static const char* name(State state);
    // For the privacy window, or empty when there is nothing to explain.
    std::string explanation() const;

private:
    mutable std::mutex mutex_;
    State state_ = State::NotAsked;
    State refused_ = State::NotAsked;  // declined or stopped, while asked again
    std::string why_;
    std::function<void()> ask_;
    std::vector<std::function<void()>> handlers_;  // main thread only
};

}  // namespace linuxplatform
