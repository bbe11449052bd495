// The agent on a Linux desktop: wires the real facilities for the session it runs in and runs the Qt event loop.
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
#include <QCommandLineParser>
#include <QSocketNotifier>
#include <QTimer>

#include "app/AppDelegate.h"
#include "backend/Config.h"
#include "backend/Log.h"
#include "checkins/Popup.h"
#include "pairing/DeviceAuth.h"
#include "platform/Platform.h"
#include "platform/linux/common/CaptureStanding.h"
#include "platform/linux/consent/AccessibilityBus.h"
#include "platform/linux/atspi/AtspiAccessibility.h"
#include "platform/linux/shell/Autostart.h"
#include "platform/linux/consent/ApplicationIdentity.h"
#include "platform/linux/consent/Consent.h"
#include "platform/linux/consent/ConsentAccessibility.h"
#include "platform/linux/consent/ConsentScreenCapture.h"
#include "platform/linux/consent/ConsentWorkspace.h"
#include "platform/linux/consent/PlacesNeverRead.h"
#include "platform/linux/consent/SessionLock.h"
#include "platform/linux/secrets/CachingSecretStore.h"
#include "platform/linux/net/CurlHttp.h"
#include "platform/linux/recognition/IncrementalRecognizer.h"
#include "platform/linux/common/PosixFacilities.h"
#include "platform/linux/net/ProcNetListeners.h"
#include "platform/linux/shell/QtConsentWindow.h"
#include "platform/linux/shell/QtMainLoop.h"
#include "platform/linux/shell/QtOwnWindows.h"
#include "platform/linux/shell/QtUserDefaults.h"
#include "platform/linux/shell/QtWindowing.h"
#include "platform/linux/secrets/SecretServiceStore.h"
#include "platform/linux/secrets/SecretStoreWatcher.h"
#include "platform/linux/recognition/TesseractRecognizer.h"
#include "platform/linux/net/UrlEventServer.h"
#include "platform/linux/Session.h"

namespace {

int quitPipe[2] = {-1, -1};

void onSignal(int) {
    const char c = 'q';
    [[maybe_unused]] auto n = ::write(quitPipe[1], &c, 1);
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

// --help and --version answer and end the process before anything starts: no socket, no log
// line, no display. Returns the exit status when the process should end now.
std::optional<int> answerInformationalOptions(int argc, char** argv) {
    QCoreApplication::setApplicationName("wellspire-agent");
    QCoreApplication::setApplicationVersion(WS_VERSION);
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Gentle check-ins when what you write or see weighs heavy. Lives in the status area; opening it "
        "again while it runs shows its window. A wellspire: link given as URL goes to the running agent.");
    // Qt's own --help-all would list options this program does not take.
    const QCommandLineOption help(QStringList{"h", "help"}, "Displays this help.");
    parser.addOption(help);
    const QCommandLineOption version = parser.addVersionOption();
    parser.addPositionalArgument("URL", "a wellspire://pair link, as the desktop opens it", "[URL]");
    if (!parser.parse(arguments)) {
        std::fprintf(stderr, "wellspire-agent: %s\nTry 'wellspire-agent --help'.\n", qPrintable(parser.errorText()));
        return 2;
    }
    if (parser.isSet(help)) {
        // Without an application object Qt cannot name the program; it is always the same one.
        QString text = parser.helpText();
        text.replace("<executable_name>", "wellspire-agent");
        std::fputs(qPrintable(text), stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("wellspire-agent %s\n", WS_VERSION);
        return 0;
    }
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    const auto url = takeUrlArgument(argc, argv);
    if (const auto status = answerInformationalOptions(argc, argv)) return *status;
    std::signal(SIGPIPE, SIG_IGN);

    // Another agent of this user runs: hand it the URL, or just stop, without a word in the log.
    if (linuxplatform::UrlEventServer::handOff(url)) return 0;

    const linuxplatform::Session session(linuxplatform::SessionInfo::fromEnvironment());
    // Qt would abort (and dump core) without a display to open.
    if (!session.displayReachable()) return 1;

    // The session, not Qt's own guess, picks the platform plugin: panels keep their place and
    // leave the focus alone only as X11 windows, through Xwayland on a Wayland session.
    qputenv("QT_QPA_PLATFORM", QByteArray::fromStdString(session.qtPlatform()));
    QApplication::setApplicationDisplayName("Wellspire Agent");
    QApplication::setDesktopFileName("com.wellspire.Agent");
    // libatspi serves each application's own connection on GLib's default main context, which is
    // the one Qt's main loop runs on; the reader's thread uses those connections at the same time,
    // and libdbus does not survive two threads serving one connection. The main loop keeps off
    // GLib; threads started later, and the programs the agent opens, are left as they were.
    const bool glibWasOff = qEnvironmentVariableIsSet("QT_NO_GLIB");
    qputenv("QT_NO_GLIB", "1");
    QApplication app(argc, argv);
    if (!glibWasOff) qunsetenv("QT_NO_GLIB");
    // Every window of the agent is its own: no capture reads it, no cycle runs while it has the focus.
    linuxplatform::QtOwnWindows::install();
    // The X server gone ends the session: one line in the log, then out with status 0.
    session.leaveWhenDisplayIsLost([] { wsLog("DISPLAY lost (the X server went away); quitting"); });

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
    auto secrets =
        std::make_shared<linuxplatform::CachingSecretStore>(nullptr, std::make_unique<linuxplatform::ThreadWorker>());
    // Which store answers, and the token, are asked for at once off the main thread while launch
    // goes on; the store then follows whatever happens to it outside the agent.
    secrets->chooseStore(linuxplatform::makeSecretStore);
    secrets->prefetch(DeviceAuth::kTokenService, DeviceAuth::kTokenAccount);
    const auto secretWatcher =
        linuxplatform::followOutsideChanges(secrets, linuxplatform::FileSecretStore::defaultFolder());
    services.secrets = secrets;
    services.files = std::make_shared<linuxplatform::PosixFiles>(linuxplatform::PosixFiles::kBundledResources);
    // Nothing is read before the user agrees in the privacy window, which every permission prompt
    // and settings link of the agent opens.
    const std::string settingsFile = linuxplatform::QtUserDefaults::defaultPath();
    auto consent = std::make_shared<linuxplatform::Consent>(settingsFile);
    const auto backends = session.backends(consent);
    // Nothing is read while the session is locked or out of use: logind, the desktop's screensaver,
    // and on X11 the server's own screen saver say when.
    auto sessionLock = std::make_shared<linuxplatform::SessionLock>();
    const auto screenSaverWatch = session.watchScreenSaver([sessionLock](bool on) { sessionLock->setScreenSaverOn(on); });
    auto* privacyWindow = new linuxplatform::QtConsentWindow(consent, [] { return Config::backend(); },
                                                            std::make_shared<linuxplatform::Autostart>());
    auto identity = std::make_shared<linuxplatform::ApplicationIdentity>();
    auto neverRead = std::make_shared<linuxplatform::PlacesNeverRead>(consent, identity);
    privacyWindow->offerNeverRead(identity);
    auto showPrivacy = [privacyWindow] { privacyWindow->present(); };
    auto windowing = std::make_shared<linuxplatform::QtWindowing>(backends.focusedWindow, backends.panelPlacement);
    windowing->setPrivacyOpener(showPrivacy);
    auto accessibility = std::make_shared<linuxplatform::ConsentAccessibility>(
        consent, std::make_shared<linuxplatform::AccessibilityBus>(),
        [] { return std::make_unique<linuxplatform::AtspiAccessibility>(); }, showPrivacy);
    accessibility->setSessionLock(sessionLock);
    accessibility->setPlacesNeverRead(neverRead);
    privacyWindow->followAccessibility(accessibility);
    services.accessibility = accessibility;
    auto screenCapture = std::make_shared<linuxplatform::ConsentScreenCapture>(consent, backends.capture, showPrivacy);
    screenCapture->setPlacesNeverRead(neverRead);
    if (!backends.windowsTold) screenCapture->setWindowsUntold();
    screenCapture->followConsent();
    screenCapture->setSessionLock(sessionLock);
    services.screenCapture = screenCapture;
    services.textRecognizer =
        std::make_shared<linuxplatform::IncrementalRecognizer>(std::make_shared<linuxplatform::TesseractRecognizer>());
    services.windowing = windowing;
    // Opened again from the applications while running: its window, where no status area shows the icon.
    urlEvents->setReopenHandler([windowing] { windowing->showStatusWindow(); });
    services.userDefaults = std::make_shared<linuxplatform::QtUserDefaults>(settingsFile);
    auto workspace = std::make_shared<linuxplatform::ConsentWorkspace>(consent, backends.workspace);
    workspace->followConsent();
    workspace->followLock(sessionLock);
    services.workspace = workspace;
    services.urlEvents = urlEvents;
    services.loopbackListeners = std::make_shared<linuxplatform::ProcNetListeners>();
    platform::install(services);
    // The log writes through the installed facilities: nothing reaches it before this point.
    wsLog("SESSION " + backends.description);
    auto logLock = [sessionLock] {
        wsLog(std::string("LOCK locked=") + (sessionLock->locked() ? "true" : "false") + " by=" + sessionLock->why());
    };
    if (sessionLock->locked()) logLock();
    sessionLock->onChange(logLock);
    if (const auto standing = backends.captureStanding) {
        privacyWindow->followCapture(standing);
        standing->onChange([standing] {
            const auto why = standing->why();
            wsLog(std::string("CAPTURE ") + linuxplatform::CaptureStanding::name(standing->state()) +
                  (why.empty() ? "" : ": " + why));
        });
    }

    auto delegate = AppDelegate::create();
    QTimer::singleShot(0, &app, [delegate] { delegate->applicationDidFinishLaunching(); });
    const int status = app.exec();
    // The desktop's accessibility switch goes back as the agent found it; the next start switches
    // it on again while the user agrees.
    accessibility->putBack();

    // Leave without running the destructors of the background threads and of the Qt objects held
    // by long-lived singletons, which would otherwise race the teardown of the QApplication.
    Popup::shared().closeAll();
    urlEvents->stop();
    std::fflush(nullptr);
    ::_exit(status);
}
