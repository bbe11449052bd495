#include "platform/linux/common/Consent.h"

#include <QSettings>

#include <cstring>

namespace linuxplatform {

namespace {
constexpr const char* kTypedText = "consent/typedText";
constexpr const char* kScreenText = "consent/screenText";
constexpr const char* kScreenCastToken = "consent/screenCastToken";
}  // namespace

Consent::Consent(const std::string& path)
    : settings_(std::make_unique<QSettings>(QString::fromStdString(path), QSettings::IniFormat)) {
    // Only an explicit "true" is agreement; anything else in the file is not.
    auto agreed = [this](const char* key) { return settings_->value(key).toString() == QStringLiteral("true"); };
    typedText_.store(agreed(kTypedText));
    screenText_.store(agreed(kScreenText));
}

Consent::~Consent() = default;

void Consent::write(const char* key, bool value) {
    std::lock_guard lock(settingsMutex_);
    settings_->setValue(key, value);
    // The screen the user chose to share goes with the consent to read it.
    if (std::strcmp(key, kScreenText) == 0 && !value) settings_->remove(kScreenCastToken);
    // QSettings replaces the file whole and flushes it, so a crash leaves the old file or the new one.
    settings_->sync();
}

void Consent::set(std::atomic<bool>& flag, const char* key, bool agreed) {
    if (flag.load() == agreed) return;
    // A withdrawal stops the reads before anything else; an agreement counts once it is on disk.
    if (!agreed) flag.store(false);
    write(key, agreed);
    if (agreed) flag.store(true);
    for (const auto& observer : observers_) observer();
}

void Consent::setTypedText(bool agreed) { set(typedText_, kTypedText, agreed); }
void Consent::setScreenText(bool agreed) { set(screenText_, kScreenText, agreed); }

std::string Consent::screenCastToken() const {
    std::lock_guard lock(settingsMutex_);
    return settings_->value(kScreenCastToken).toString().toStdString();
}

void Consent::setScreenCastToken(const std::string& token) {
    std::lock_guard lock(settingsMutex_);
    // A token that arrives after the consent was withdrawn is not kept.
    if (token.empty() || !screenText_.load()) settings_->remove(kScreenCastToken);
    else settings_->setValue(kScreenCastToken, QString::fromStdString(token));
    settings_->sync();
}

void Consent::onChange(std::function<void()> observer) { observers_.push_back(std::move(observer)); }

}  // namespace linuxplatform
