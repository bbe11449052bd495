// The agent on a Linux X11 desktop: wires the real facilities and runs the Qt event loop.
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>

#include "app/AppDelegate.h"
#include "backend/Log.h"
#include "checkins/Popup.h"
#include "platform/Platform.h"
#include "platform/linux/AtspiAccessibility.h"
#include "platform/linux/CachingSecretStore.h"
#include "platform/linux/CurlHttp.h"
#include "platform/linux/IncrementalRecognizer.h"
#include "platform/linux/LinuxBasics.h"
#include "platform/linux/QtDisplayLoss.h"
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

// The first argument that is not an option is the URL the desktop opened. A pairing URL carries
// the device token, so the argument is copied, zeroed in place (the memory /proc/<pid>/cmdline
// shows) and taken out of the argument list Qt sees.
std::optional<std::string> takeUrlArgument(int& argc, char** argv) {
    std::optional<std::string> url;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        char* arg = argv[i];
        if (!url && arg[0] != '\0' && arg[0] != '-') {
            url = std::string(arg);
            ::explicit_bzero(arg, std::strlen(arg));
            continue;
        }
        argv[kept++] = arg;
    }
    argv[kept] = nullptr;
    argc = kept;
    return url;
}

}  // namespace

int main(int argc, char** argv) {
    const auto url = takeUrlArgument(argc, argv);
    std::signal(SIGPIPE, SIG_IGN);

    // Another agent of this user runs: hand it the URL, or just stop, without a word in the log.
    if (linuxplatform::UrlEventServer::handOff(url)) return 0;

    // Qt would abort (and dump core) without a display to open.
    if (!linuxplatform::displayReachable()) {
        const char* display = std::getenv("DISPLAY");
        std::fprintf(stderr, "wellspire-agent: cannot open the X display %s\n", display ? display : "($DISPLAY is not set)");
        return 1;
    }

    QApplication::setApplicationName("wellspire-agent");
    QApplication::setApplicationDisplayName("Wellspire Agent");
    QApplication::setDesktopFileName("wellspire-agent");
    QApplication app(argc, argv);
    // The X server gone ends the session: one line in the log, then out with status 0.
    linuxplatform::leaveWhenDisplayIsLost([] { wsLog("DISPLAY lost (the X server went away); quitting"); });

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
    // The capture cycle is the only user of this worker: its captures and scaling yield to the user's work.
    services.worker->run(linuxplatform::IncrementalRecognizer::lowestPriority);
    services.semaphores = std::make_shared<linuxplatform::StdSemaphores>();
    services.secrets = std::make_shared<linuxplatform::CachingSecretStore>(
        linuxplatform::makeSecretStore(), [clock = services.clock] { return clock->now(); },
        std::make_unique<linuxplatform::ThreadWorker>());
    services.files = std::make_shared<linuxplatform::PosixFiles>(executableFolder() + "/resources");
    services.accessibility = std::make_shared<linuxplatform::AtspiAccessibility>();
    services.screenCapture = std::make_shared<linuxplatform::X11ScreenCapture>();
    services.textRecognizer =
        std::make_shared<linuxplatform::IncrementalRecognizer>(std::make_shared<linuxplatform::TesseractRecognizer>());
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
