// The agent on a Linux X11 desktop: wires the real facilities and runs the Qt event loop.
#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>

#include "app/AppDelegate.h"
#include "checkins/Popup.h"
#include "platform/Platform.h"
#include "platform/linux/AtspiAccessibility.h"
#include "platform/linux/CurlHttp.h"
#include "platform/linux/LinuxBasics.h"
#include "platform/linux/QtMainLoop.h"
#include "platform/linux/QtUserDefaults.h"
#include "platform/linux/QtWindowing.h"
#include "platform/linux/SecretServiceStore.h"
#include "platform/linux/TesseractRecognizer.h"
#include "platform/linux/UrlEventServer.h"
#include "platform/linux/X11ScreenCapture.h"
#include "platform/linux/X11Workspace.h"

namespace {

int quitPipe[2] = {-1, -1};

void onSignal(int) {
    const char c = 'q';
    [[maybe_unused]] auto n = ::write(quitPipe[1], &c, 1);
}

std::string executableFolder() {
    char buffer[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return ".";
    std::string path(buffer, static_cast<std::size_t>(n));
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::optional<std::string> urlArgument(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (!arg.empty() && arg[0] != '-') return arg;
    }
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    const auto url = urlArgument(argc, argv);

    // Another agent of this user runs: hand it the URL, or just stop, without a word in the log.
    if (linuxplatform::UrlEventServer::handOff(url)) return 0;

    QApplication::setApplicationName("wellspire-agent");
    QApplication::setApplicationDisplayName("Wellspire Agent");
    QApplication::setDesktopFileName("wellspire-agent");
    QApplication app(argc, argv);

    auto urlEvents = std::make_shared<linuxplatform::UrlEventServer>();
    if (!urlEvents->listen()) {
        // Lost the race to another agent starting at the same moment.
        if (linuxplatform::UrlEventServer::handOff(url)) return 0;
        std::fprintf(stderr, "wellspire-agent: cannot open the per-user socket; is $XDG_RUNTIME_DIR usable?\n");
        return 1;
    }
    if (url) urlEvents->deliver(*url);

    if (::pipe2(quitPipe, O_CLOEXEC) == 0) {
        auto* notifier = new QSocketNotifier(quitPipe[0], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &app, [] { QCoreApplication::quit(); });
        std::signal(SIGTERM, onSignal);
        std::signal(SIGINT, onSignal);
        std::signal(SIGHUP, onSignal);
    }

    platform::Services services;
    services.clock = std::make_shared<linuxplatform::SystemClock>();
    services.mainLoop = std::make_shared<linuxplatform::QtMainLoop>();
    services.http = std::make_shared<linuxplatform::CurlHttp>();
    services.worker = std::make_shared<linuxplatform::ThreadWorker>();
    services.semaphores = std::make_shared<linuxplatform::StdSemaphores>();
    services.secrets = linuxplatform::makeSecretStore();
    services.files = std::make_shared<linuxplatform::PosixFiles>(executableFolder() + "/resources");
    services.accessibility = std::make_shared<linuxplatform::AtspiAccessibility>();
    services.screenCapture = std::make_shared<linuxplatform::X11ScreenCapture>();
    services.textRecognizer = std::make_shared<linuxplatform::TesseractRecognizer>();
    services.windowing = std::make_shared<linuxplatform::QtWindowing>();
    services.userDefaults =
        std::make_shared<linuxplatform::QtUserDefaults>(linuxplatform::QtUserDefaults::defaultPath());
    services.workspace = std::make_shared<linuxplatform::X11Workspace>();
    services.urlEvents = urlEvents;
    platform::install(services);

    auto delegate = AppDelegate::create();
    QTimer::singleShot(0, &app, [delegate] { delegate->applicationDidFinishLaunching(); });
    const int status = app.exec();

    // Leave without running the destructors of the background threads and of the Qt objects held
    // by long-lived singletons, which would otherwise race the teardown of the QApplication.
    Popup::shared().closeAll();
    urlEvents->stop();
    std::fflush(nullptr);
    ::_exit(status);
}
