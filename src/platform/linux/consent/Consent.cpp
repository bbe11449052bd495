#include "platform/linux/consent/Consent.h"

#include <QFileInfo>
#include <QSettings>

#include <algorithm>
#include <cstring>

#include "platform/linux/consent/OwnerOnlyFile.h"

namespace linuxplatform {

namespace {

constexpr const char* kTypedText = "consent/typedText";
constexpr const char* kScreenText = "consent/screenText";
constexpr const char* kScreenCastToken = "consent/screenCastToken";
constexpr const char* kBusSwitchedOn = "consent/accessibilitySwitchedOnByAgent";
constexpr const char* kNeverRead = "privacy/neverRead";
constexpr const char* kPrivateBrowsing = "privacy/readPrivateBrowsing";

// A QSettings object keeps the first error it met for good, so each change is made through its own
// object: its status then tells about that change alone.
QSettings open(const std::string& path) { return QSettings(QString::fromStdString(path), QSettings::IniFormat); }

// Rewrites the file (QSettings replaces it whole, so a crash leaves the old file or the new one) and
// says whether it got there. The file is made owner-only first; replacing keeps its mode.
bool save(const std::string& path, QSettings& settings) {
    const bool private_ = makeOwnerOnly(path);
    settings.sync();
    return private_ && settings.status() == QSettings::NoError;
}

}  // namespace

Consent::Consent(std::string path) : path_(std::move(path)) {
    // A file left readable by others by an earlier version is closed now, not at the next change.
    if (QFileInfo::exists(QString::fromStdString(path_))) makeOwnerOnly(path_);
    // Only an explicit "true" is agreement; anything else in the file is not.
    typedText_.store(readBool(kTypedText));
    screenText_.store(readBool(kScreenText));
    privateBrowsing_.store(readBool(kPrivateBrowsing));
    for (const QString& id : open(path_).value(kNeverRead).toStringList())
        if (!id.isEmpty()) neverRead_.push_back(id.toStdString());
}

Consent::~Consent() = default;

bool Consent::readBool(const char* key) const {
    std::lock_guard lock(settingsMutex_);
    return open(path_).value(key).toString() == QStringLiteral("true");
}

bool Consent::write(const char* key, bool value) {
    std::lock_guard lock(settingsMutex_);
    QSettings settings = open(path_);
    const QVariant before = settings.value(key);
    settings.setValue(key, value);
    // The screen the user chose to share goes with the consent to read it.
    if (std::strcmp(key, kScreenText) == 0 && !value) settings.remove(kScreenCastToken);
    if (save(path_, settings)) return true;
    // QSettings keeps an unsaved change pending and tries again at its next write. A refused
    // agreement must not reach the disk later by that way; a refused withdrawal may, and should.
    if (value) {
        if (before.isValid()) settings.setValue(key, before);
        else settings.remove(key);
    }
    return false;
}

bool Consent::set(std::atomic<bool>& flag, const char* key, bool agreed) {
    const bool was = flag.load();
    // A withdrawal stops the reads before anything else, whatever the disk says; an agreement
    // counts once it is on disk.
    if (!agreed) flag.store(false);
    const bool saved = write(key, agreed);
    if (agreed && saved) flag.store(true);
    if (flag.load() != was)
        for (const auto& observer : observers_) observer();
    return saved;
}

bool Consent::setTypedText(bool agreed) { return set(typedText_, kTypedText, agreed); }
bool Consent::setScreenText(bool agreed) { return set(screenText_, kScreenText, agreed); }

std::string Consent::screenCastToken() const {
    std::lock_guard lock(settingsMutex_);
    return open(path_).value(kScreenCastToken).toString().toStdString();
}

void Consent::setScreenCastToken(const std::string& token) {
    std::lock_guard lock(settingsMutex_);
    QSettings settings = open(path_);
    // A token that arrives after the consent was withdrawn is not kept.
    if (token.empty() || !screenText_.load()) settings.remove(kScreenCastToken);
    else settings.setValue(kScreenCastToken, QString::fromStdString(token));
    save(path_, settings);
}

bool Consent::busSwitchedOnByAgent() const { return readBool(kBusSwitchedOn); }

bool Consent::setBusSwitchedOnByAgent(bool on) {
    std::lock_guard lock(settingsMutex_);
    QSettings settings = open(path_);
    if (on) settings.setValue(kBusSwitchedOn, true);
    else settings.remove(kBusSwitchedOn);
    return save(path_, settings);
}

std::vector<std::string> Consent::neverRead() const {
    std::lock_guard lock(settingsMutex_);
    return neverRead_;
}

bool Consent::setNeverRead(std::vector<std::string> applications) {
    bool saved = false;
    bool changed = false;
    {
        std::lock_guard lock(settingsMutex_);
        std::sort(applications.begin(), applications.end());
        applications.erase(std::unique(applications.begin(), applications.end()), applications.end());
        QStringList list;
        for (const auto& id : applications) list << QString::fromStdString(id);
        QSettings settings = open(path_);
        const QVariant before = settings.value(kNeverRead);
        if (list.isEmpty()) settings.remove(kNeverRead);
        else settings.setValue(kNeverRead, list);
        saved = save(path_, settings);
        auto now = applications;
        if (!saved) {
            // Added ones are kept out at once all the same; removed ones stay out until the disk agrees.
            for (const auto& id : neverRead_)
                if (std::find(now.begin(), now.end(), id) == now.end()) now.push_back(id);
            std::sort(now.begin(), now.end());
            if (before.isValid()) settings.setValue(kNeverRead, before);
            else settings.remove(kNeverRead);
        }
        changed = now != neverRead_;
        neverRead_ = std::move(now);
    }
    if (changed)
        for (const auto& observer : observers_) observer();
    return saved;
}

bool Consent::setPrivateBrowsing(bool allowed) { return set(privateBrowsing_, kPrivateBrowsing, allowed); }

void Consent::onChange(std::function<void()> observer) { observers_.push_back(std::move(observer)); }

}  // namespace linuxplatform
