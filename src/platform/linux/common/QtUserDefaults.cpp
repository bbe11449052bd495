#include "platform/linux/common/QtUserDefaults.h"

#include <QSettings>

#include "platform/linux/common/PosixFacilities.h"

namespace linuxplatform {

QtUserDefaults::QtUserDefaults(const std::string& path)
    : settings_(std::make_unique<QSettings>(QString::fromStdString(path), QSettings::IniFormat)) {}

QtUserDefaults::~QtUserDefaults() = default;

std::string QtUserDefaults::defaultPath() { return xdgConfigHome() + "/wellspire-agent/agent.ini"; }

bool QtUserDefaults::boolForKey(const std::string& key) {
    return settings_->value(QString::fromStdString(key), false).toBool();
}

void QtUserDefaults::setBool(const std::string& key, bool value) {
    settings_->setValue(QString::fromStdString(key), value);
    settings_->sync();
}

}  // namespace linuxplatform
