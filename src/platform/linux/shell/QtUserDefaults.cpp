#include "platform/linux/shell/QtUserDefaults.h"

#include <QFileInfo>
#include <QSettings>

#include "platform/linux/common/PosixFacilities.h"
#include "platform/linux/consent/OwnerOnlyFile.h"

namespace linuxplatform {

QtUserDefaults::QtUserDefaults(const std::string& path)
    : path_(path), settings_(std::make_unique<QSettings>(QString::fromStdString(path), QSettings::IniFormat)) {
    // The file is shared with the consent, which keeps the screen-cast token in it: owner-only.
    if (QFileInfo::exists(QString::fromStdString(path_))) makeOwnerOnly(path_);
}

QtUserDefaults::~QtUserDefaults() = default;

std::string QtUserDefaults::defaultPath() { return xdgConfigHome() + "/wellspire-agent/agent.ini"; }

bool QtUserDefaults::boolForKey(const std::string& key) {
    return settings_->value(QString::fromStdString(key), false).toBool();
}

void QtUserDefaults::setBool(const std::string& key, bool value) {
    settings_->setValue(QString::fromStdString(key), value);
    // Created owner-only before QSettings writes it; its replacement keeps that mode.
    makeOwnerOnly(path_);
    settings_->sync();
}

}  // namespace linuxplatform
