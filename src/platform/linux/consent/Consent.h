#pragma once
// What the user agreed the agent may read: the text of the field they type in (with the timing of
// their typing), and the text on their screen. Both are off until the user turns them on in the
// privacy window. A change counts once it is on disk: an agreement the disk refused is no agreement.
// A withdrawal stops the reading at once even when the disk refuses it, since stopping is always
// safe; the caller is told, because the file may then bring the agreement back at the next start.
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace linuxplatform {

class Consent {
public:
    // `path`: the settings file (group [consent]), owner-only whenever the agent writes it.
    explicit Consent(std::string path);
    ~Consent();
    Consent(const Consent&) = delete;
    Consent& operator=(const Consent&) = delete;

    // Any thread.
    bool typedText() const { return typedText_.load(); }
    bool screenText() const { return screenText_.load(); }

    // Main thread. True once the choice is on disk. An agreement that is not changes nothing (no
    // observer runs); a withdrawal that is not still holds for this run, and observers run.
    bool setTypedText(bool agreed);
    bool setScreenText(bool agreed);
    void onChange(std::function<void()> observer);

    // What the desktop's screen-cast portal gave back so that the user's choice of screen is not
    // asked again at the next start; empty when there is none. Kept only while screen text is
    // agreed to: withdrawing that consent forgets it. Any thread.
    std::string screenCastToken() const;
    void setScreenCastToken(const std::string& token);

    // Whether the agent itself switched the desktop's accessibility support on, and so owes putting
    // it back; kept on disk so that a crash does not lose the debt. Main thread; the setter is true
    // once on disk.
    bool busSwitchedOnByAgent() const;
    bool setBusSwitchedOnByAgent(bool on);

    // The applications never read (by ApplicationIdentity's names), and whether private browsing
    // windows may be read (off by default), under [privacy]. As with the switches, what reads more
    // counts once on disk, and what reads less counts at once. Any thread; setters main thread.
    std::vector<std::string> neverRead() const;
    bool setNeverRead(std::vector<std::string> applications);
    bool privateBrowsing() const { return privateBrowsing_.load(); }
    bool setPrivateBrowsing(bool allowed);

    const std::string& path() const { return path_; }

private:
    bool set(std::atomic<bool>& flag, const char* key, bool agreed);
    bool write(const char* key, bool value);
    bool readBool(const char* key) const;
    const std::string path_;
    std::atomic<bool> typedText_{false};
    std::atomic<bool> screenText_{false};
    std::atomic<bool> privateBrowsing_{false};
    std::vector<std::string> neverRead_;  // under settingsMutex_
    std::vector<std::function<void()>> observers_;
    mutable std::mutex settingsMutex_;  // the token is read and written off the main thread too
};

}  // namespace linuxplatform
