#pragma once
// Screen capture on KDE Plasma through KWin's org.kde.KWin.ScreenShot2 interface, which KWin
// grants only to programs its desktop entries authorize (the package installs one for the agent).
// A display is the area of its output, a window the area it covers, both at native resolution,
// without the cursor, with the excluded windows and the agent's own panels painted black. Calls
// are served on a thread of their own and complete there, exactly once.
#include <memory>
#include <string>

#include "platform/ScreenCapture.h"
#include "platform/linux/wayland/FallbackScreenCapture.h"

namespace linuxplatform {

class CaptureWorker;
class CompositorWindows;

class KWinScreenCapture final : public platform::ScreenCapture, public CaptureRefusal {
public:
    // Whether KWin answers on the session bus with its screenshot interface. Blocks briefly.
    static bool available();

    // `windows` may be null: then only the agent's own panels are listed. `display`: the Wayland
    // socket whose outputs are the displays, empty for $WAYLAND_DISPLAY.
    explicit KWinScreenCapture(std::shared_ptr<CompositorWindows> windows, std::string display = {});
    ~KWinScreenCapture() override;
    KWinScreenCapture(const KWinScreenCapture&) = delete;
    KWinScreenCapture& operator=(const KWinScreenCapture&) = delete;

    // True while an installed desktop entry authorizes the agent and KWin has not refused it.
    bool preflight() override;
    // KWin asks nobody: the authorization is the package's.
    void request() override {}
    // Once KWin has refused the agent: its desktop entries decide, and they are not read again.
    std::optional<std::string> refusedForGood() const override;
    void shareableContent(std::function<void(platform::ContentResult)> completion) override;
    void captureWindow(const platform::ShareableWindow& window, int pixelWidth, int pixelHeight,
                       std::function<void(platform::CaptureResult)> completion) override;
    void captureDisplay(const platform::ShareableDisplay& display, const std::vector<platform::ShareableWindow>& excluding,
                        int pixelWidth, int pixelHeight, std::function<void(platform::CaptureResult)> completion) override;

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
    std::shared_ptr<CaptureWorker> worker_;
};

}  // namespace linuxplatform
