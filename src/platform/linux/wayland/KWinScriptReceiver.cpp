#include "platform/linux/wayland/KWinScriptReceiver.h"

#include <QDBusMessage>

namespace linuxplatform {

void KWinScriptReceiver::windowActivated(const QString& report) {
    const QString sender = calledFromDBus() ? message().service() : QString();
    if (deliver_) deliver_(sender.toStdString(), report.toStdString());
}

}  // namespace linuxplatform
