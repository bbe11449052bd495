#pragma once
// The object the KWin script calls on the session bus; it hands each report to its watcher.
#include <QDBusContext>
#include <QObject>

#include <functional>
#include <string>

namespace linuxplatform {

class KWinScriptReceiver final : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.wellspire.agent.ActiveWindow")

public:
    using Deliver = std::function<void(const std::string& sender, const std::string& report)>;
    explicit KWinScriptReceiver(Deliver deliver) : deliver_(std::move(deliver)) {}

public Q_SLOTS:
    Q_SCRIPTABLE void windowActivated(const QString& report);

private:
    Deliver deliver_;
};

}  // namespace linuxplatform
