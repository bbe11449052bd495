#pragma once
#include <memory>
#include <string>

#include "platform/Windowing.h"

class QSettings;

namespace linuxplatform {

// Flags kept in an INI file under the XDG config folder.
class QtUserDefaults final : public platform::UserDefaults {
public:
    explicit QtUserDefaults(const std::string& path);
    ~QtUserDefaults() override;
    bool boolForKey(const std::string& key) override;
    void setBool(const std::string& key, bool value) override;
    static std::string defaultPath();

private:
    std::string path_;
    std::unique_ptr<QSettings> settings_;
};

}  // namespace linuxplatform
