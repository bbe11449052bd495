#include "platform/linux/x11/X11DisplayLoss.h"

#include <mutex>

#include <QString>
#include <QtGlobal>

#include "platform/linux/x11/X11Connection.h"

namespace linuxplatform {
namespace {

QtMessageHandler previousHandler = nullptr;

// Qt's xcb layer says this just before it calls exit(1); it has said it this way since Qt 5.
void onMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtWarningMsg && message.startsWith(QLatin1String("The X11 connection broke"))) x11::displayLost();
    if (previousHandler) previousHandler(type, context, message);
}

}  // namespace

void leaveWhenDisplayIsLost(std::function<void()> leave) {
    x11::onDisplayLost(std::move(leave));
    static std::once_flag once;
    std::call_once(once, [] { previousHandler = qInstallMessageHandler(onMessage); });
}

bool displayReachable() { return x11::displayReachable(); }

}  // namespace linuxplatform
