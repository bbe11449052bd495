#pragma once
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Geometry.h"

namespace platform {

struct Font {
    double size = 13;
    bool bold = false;
    bool operator==(const Font&) const = default;
};

class Panel;

// The panel the pressed button lies in, or nothing.
using PanelAction = std::function<void(const std::shared_ptr<Panel>& sender)>;

struct PanelLabel {
    Rect frame;  // inside the panel, y-up
    std::string text;
    Font font;
    Color color;
};

struct PanelButton {
    Rect frame;
    std::string title;
    bool whiteBackground = false;  // white background, black content
    bool isDefault = false;        // Return presses it
    PanelAction action;
};

struct RadialGlow {
    Color from;   // at the start point
    Color to;     // at the edge of the ellipse
    Point start;  // unit square of the content, (0,0) at bottom-left
    Point end;
};

// Everything needed to draw one check-in panel; the windowing layer only renders it.
struct PanelLayout {
    std::string identifier;  // also the window title
    std::string title;       // what assistive technologies announce: the title as its name,
    std::string message;     // the message as its description
    double width = 0, height = 0;
    Color background;
    double cornerRadius = 0;
    double borderWidth = 0;
    Color borderColor;
    RadialGlow glow;
    std::vector<PanelLabel> labels;
    std::vector<PanelButton> buttons;
};

// A floating, non-activating panel on every desktop, created at the origin and not yet shown.
class Panel {
public:
    virtual ~Panel() = default;
    virtual bool isVisible() const = 0;
    virtual Rect frame() const = 0;
    virtual void setFrameOrigin(Point origin) = 0;
    virtual void orderFrontRegardless() = 0;
    virtual void close() = 0;
    virtual std::string identifier() const = 0;
};

class MenuItem {
public:
    virtual ~MenuItem() = default;
    virtual void setTitle(const std::string& title) = 0;
    virtual std::string title() const = 0;
};

struct MenuEntry {
    bool separator = false;
    std::string title;
    std::string key;                // key equivalent, used with the primary modifier
    std::function<void()> action;   // none: an inactive line
};

// An image the windowing layer can draw (the status emblem).
class StatusImage {
public:
    virtual ~StatusImage() = default;
    virtual void setSize(double width, double height) = 0;
    virtual void setTemplate(bool isTemplate) = 0;
};

class StatusItem {
public:
    virtual ~StatusItem() = default;
    virtual bool hasButton() const = 0;
    virtual void setImage(std::shared_ptr<StatusImage> image) = 0;  // nothing: title only
    virtual void setImageLeftOfTitle() = 0;
    virtual void setTitle(const std::string& title) = 0;
    // Attaches the menu; returns one item per entry, in order (nothing for separators).
    virtual std::vector<std::shared_ptr<MenuItem>> setMenu(const std::vector<MenuEntry>& entries) = 0;
};

struct Alert {
    std::string messageText;
    std::string informativeText;
    std::vector<std::string> buttons;
};

inline constexpr int kAlertFirstButtonReturn = 1000;

// The places the agent's texts send the user to. Each platform names them in its own words; the rest
// of every text stays as it is.
enum class Place {
    SystemSettings,         // where permissions are granted: "System Settings"
    AccessibilitySettings,  // its pane for reading other applications: "System Settings ▸ Privacy & Security ▸ Accessibility"
    MoveToApplications,     // how the program is put in place: "Drag WellspireAgent.app into the Applications folder (use Finder)"
    ThisComputer,           // "This Mac"
};

class Windowing {
public:
    virtual ~Windowing() = default;
    // Menu-bar only: no dock entry, no main window.
    virtual void setAccessoryActivationPolicy() = 0;
    virtual std::shared_ptr<StatusItem> createStatusItem() = 0;
    virtual std::shared_ptr<StatusImage> loadImage(const std::string& path) = 0;   // nothing on failure
    virtual std::shared_ptr<StatusImage> namedImage(const std::string& name) = 0;  // nothing when unknown
    // Blocks until dismissed; returns kAlertFirstButtonReturn + the index of the chosen button.
    virtual int runModal(const Alert& alert) = 0;
    virtual std::shared_ptr<Panel> createPanel(const PanelLayout& layout) = 0;
    // Visible frame of the screen with keyboard focus, or nothing when there is no screen.
    virtual std::optional<Rect> mainScreenVisibleFrame() = 0;
    // Height a wrapping label needs to show all of `text` at `width`.
    virtual double textHeight(const std::string& text, Font font, double width) = 0;
    virtual void playSound(const std::string& name) = 0;
    // Opens a URL with its default handler; false when it could not be handed on.
    virtual bool openURL(const std::string& url) = 0;
    // A place in the desktop's own words.
    virtual std::string placeName(Place place) = 0;
    virtual void terminate() = 0;
};

class UserDefaults {
public:
    virtual ~UserDefaults() = default;
    virtual bool boolForKey(const std::string& key) = 0;
    virtual void setBool(const std::string& key, bool value) = 0;
};

}  // namespace platform
