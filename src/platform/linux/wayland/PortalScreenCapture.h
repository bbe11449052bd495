#pragma once
// Screen capture through the desktop's ScreenCast portal and PipeWire, for Wayland sessions where the
// compositor lets no client read the screen directly (GNOME, KDE Plasma) and wherever the portal is.
// One session runs for the whole run and its stream's latest frame is what every capture reads: the
// sampling never renegotiates anything. The session starts when asked for while the user agrees to
// screen-text reading (the desktop shows its dialog the first time; the restore token it gives back is
// kept with the consent so later starts are silent), and ends when that agreement is withdrawn.
// A sharing lost without the user (PipeWire gone, the portal failing) is asked for again with a
// growing wait and the same token; one the user declined or stopped from the desktop is asked for
// again only when the user opens the privacy window or switches screen text on, and a stopped one's
// token is forgotten.
//
// Displays and windows are in the compositor's layout units (points); the frame's pixels may be more
// on a scaled output. Windows come from the compositor where it tells them, and always the agent's
// own panels, owned by the agent's process so that display captures leave them out.
#include <memory>

#include "platform/ScreenCapture.h"

class QDBusConnection;

namespace linuxplatform {

class CaptureStanding;
class CompositorWindows;
class Consent;

class PortalScreenCapture final : public platform::ScreenCapture {
public:
    // On the main thread, after the application object exists. `windows` may be null (GNOME tells
    // nothing of its windows). The portal is spoken to on a thread of its own.
    // `standing`: where the sharing stands is told there (a new one when none is given).
    PortalScreenCapture(std::shared_ptr<Consent> consent, std::shared_ptr<const CompositorWindows> windows,
                        std::shared_ptr<CaptureStanding> standing = nullptr);
    PortalScreenCapture(std::shared_ptr<Consent> consent, std::shared_ptr<const CompositorWindows> windows,
                        const QDBusConnection& bus, std::shared_ptr<CaptureStanding> standing = nullptr);
    ~PortalScreenCapture() override;
    PortalScreenCapture(const PortalScreenCapture&) = delete;
    PortalScreenCapture& operator=(const PortalScreenCapture&) = delete;

    // Whether the session bus can start the desktop portal at all: its service file is installed.
    // Cheap (no D-Bus call) and optimistic; whether the desktop's portal backend can share a screen
    // shows only when a session is asked for.
    static bool available();

    // Where the sharing stands: the log and the privacy window follow it.
    std::shared_ptr<CaptureStanding> standing() const;

    // True only while a session streams and a picture has come; never prompts.
    bool preflight() override;
    // Starts a session unless one runs (shows the desktop's dialog where no restore token holds).
    void request() override;
    void shareableContent(std::function<void(platform::ContentResult)> completion) override;
    void captureWindow(const platform::ShareableWindow& window, int pixelWidth, int pixelHeight,
                       std::function<void(platform::CaptureResult)> completion) override;
    void captureDisplay(const platform::ShareableDisplay& display, const std::vector<platform::ShareableWindow>& excluding,
                        int pixelWidth, int pixelHeight, std::function<void(platform::CaptureResult)> completion) override;

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace linuxplatform
