#pragma once
// What the user agreed the agent may read: the text of the field they type in (with the timing of
// their typing), and the text on their screen. Both are off until the user turns them on in the
// privacy window; each change is written to the settings file at once.
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class QSettings;

namespace linuxplatform {

class Consent {
public:
    // `path`: the settings file (group [consent], keys typedText, screenText and screenCastToken).
    explicit Consent(const std::string& path);
    ~Consent();
    Consent(const Consent&) = delete;
    Consent& operator=(const Consent&) = delete;

    // Any thread.
    bool typedText() const { return typedText_.load(); }
    bool screenText() const { return screenText_.load(); }

    // Main thread. The file is rewritten and flushed before these return; observers run after.
    void setTypedText(bool agreed);
    void setScreenText(bool agreed);
    void onChange(std::function<void()> observer);

    // What the desktop's screen-cast portal gave back so that the user's choice of screen is not
    // asked again at the next start; empty when there is none. Kept only while screen text is
    // agreed to: withdrawing that consent forgets it. Any thread.
    std::string screenCastToken() const;
    void setScreenCastToken(const std::string& token);

private:
    void set(std::atomic<bool>& flag, const char* key, bool agreed);
    void write(const char* key, bool value);
    std::unique_ptr<QSettings> settings_;
    std::atomic<bool> typedText_{false};
    std::atomic<bool> screenText_{false};
    std::vector<std::function<void()>> observers_;
    mutable std::mutex settingsMutex_;  // the token is read and written off the main thread too
};

}  // namespace linuxplatform
