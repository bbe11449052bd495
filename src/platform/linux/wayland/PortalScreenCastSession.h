#pragma once
// The conversation with the desktop's ScreenCast portal that yields a PipeWire stream of one monitor:
// CreateSession, SelectSources (a monitor, no cursor, remembered until revoked), Start (where the
// desktop asks the user, unless a restore token from an earlier run still holds), OpenPipeWireRemote.
// Each portal request answers with a Response signal on its own request object, one slot per step.
// Every call is asynchronous; the object lives on a thread that runs a Qt event loop.
#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QString>
#include <QVariantMap>
#include <cstdint>
#include <functional>
#include <memory>

class OrgFreedesktopPortalScreenCastInterface;
class QDBusPendingCall;
class QDBusPendingCallWatcher;

namespace linuxplatform {

struct PortalStream {
    std::uint32_t node = 0;
    // The monitor's place and size in the compositor's layout; zero where the portal does not say.
    int x = 0, y = 0, width = 0, height = 0;
};

class PortalScreenCastSession : public QObject {
    Q_OBJECT
public:
    explicit PortalScreenCastSession(QDBusConnection bus, QObject* parent = nullptr);
    ~PortalScreenCastSession() override;

    // Begins a session; `restoreToken` from an earlier Start spares the user the dialog. Ignored while
    // a session is being set up or runs.
    void start(const QString& restoreToken);
    // Ends the session (or the conversation under way); no signal follows.
    void close();
    // Between start() and started() or failed(): the desktop may be asking the user.
    bool settingUp() const { return state_ != State::Idle && state_ != State::Running; }

    // The reason `failed` gives when the user declined in the desktop's dialog.
    static QString declined() { return QStringLiteral("the user did not share the screen"); }

    // The portal's object paths for a token of ours, as it builds them from our bus name.
    static QString requestPath(const QString& uniqueName, const QString& token);
    static QString sessionPath(const QString& uniqueName, const QString& token);

Q_SIGNALS:
    // A stream of the chosen monitor is ready on `remote`; `restoreToken` is empty where the portal
    // gives none.
    void started(const QDBusUnixFileDescriptor& remote, const linuxplatform::PortalStream& stream,
                 const QString& restoreToken);
    // The conversation ended without a stream: no portal, the user declined, or an error.
    void failed(const QString& why);
    // The user or the compositor ended a running session.
    void closed();

private Q_SLOTS:
    void onProperties(QDBusPendingCallWatcher* call);
    void onCreateSessionResponse(uint response, const QVariantMap& results);
    void onSelectSourcesResponse(uint response, const QVariantMap& results);
    void onStartResponse(uint response, const QVariantMap& results);
    void onRemoteOpened(QDBusPendingCallWatcher* call);
    void onSessionClosed(const QVariantMap& details);

private:
    enum class State { Idle, Properties, CreatingSession, SelectingSources, Starting, OpeningRemote, Running };

    // Listens for the Response of a request made with a fresh handle_token, then calls `send` with it.
    // The answer's object path is what the portal used; older portals build it differently.
    bool request(const char* slot, const std::function<QDBusPendingCall(const QString& token)>& send);
    void stopListening();
    void fail(const QString& why);
    QString nextToken();

    QDBusConnection bus_;
    std::unique_ptr<OrgFreedesktopPortalScreenCastInterface> portal_;
    State state_ = State::Idle;
    QString restoreToken_;
    uint cursorModes_ = 0;
    uint version_ = 0;
    QString requestPath_;
    const char* requestSlot_ = nullptr;
    QString sessionPath_;
    PortalStream stream_;
    QString newToken_;
    std::uint64_t serial_ = 0;
};

}  // namespace linuxplatform

Q_DECLARE_METATYPE(linuxplatform::PortalStream)
