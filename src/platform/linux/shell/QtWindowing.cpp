#include "platform/linux/shell/QtWindowing.h"

#include <cmath>

#include <QApplication>
#include <QDesktopServices>
#include <QFontMetricsF>
#include <QIcon>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>

#include "platform/Platform.h"
#include "platform/linux/common/PanelPlacement.h"
#include "platform/linux/shell/QtGeometry.h"
#include "platform/linux/shell/QtPanel.h"
#include "platform/linux/shell/QtReachHint.h"
#include "platform/linux/shell/QtStatusItem.h"

namespace linuxplatform {

namespace {

constexpr const char* kSettingsScheme = "x-apple.systempreferences:";

}  // namespace

QtWindowing::QtWindowing(FocusedWindowQuery focusedWindow, std::shared_ptr<PanelPlacement> placement)
    : focusedWindow_(std::move(focusedWindow)), placement_(std::move(placement)) {}
QtWindowing::~QtWindowing() = default;

void QtWindowing::setAccessoryActivationPolicy() {
    // No main window: closing a panel or an alert must not end the program.
    QApplication::setQuitOnLastWindowClosed(false);
}

std::shared_ptr<platform::StatusItem> QtWindowing::createStatusItem() {
    auto item = std::make_shared<QtStatusItem>();
    item->setPrivacyOpener(openPrivacy_);
    statusItem_ = item;
    QtReachHint::scheduleIfNoStatusArea(platform::get().userDefaults);
    return item;
}

void QtWindowing::showStatusWindow() {
    if (auto item = statusItem_.lock()) item->showWindow();
}

std::shared_ptr<platform::StatusImage> QtWindowing::loadImage(const std::string& path) {
    const QString file = QString::fromStdString(path);
    QImage image(file);
    if (image.isNull()) return nullptr;
    // Prefer the 2× companion ("name@2x.png") when it is there.
    const int dot = file.lastIndexOf('.');
    if (dot > 0) {
        QImage hi(file.left(dot) + "@2x" + file.mid(dot));
        if (!hi.isNull()) image = hi;
    }
    return std::make_shared<QtStatusImage>(image);
}

std::shared_ptr<platform::StatusImage> QtWindowing::namedImage(const std::string& name) {
    const QIcon icon = QIcon::fromTheme(QString::fromStdString(name));
    if (icon.isNull()) return nullptr;
    return std::make_shared<QtStatusImage>(icon.pixmap(40, 40).toImage());
}

int QtWindowing::runModal(const platform::Alert& alert) {
    QMessageBox box;
    box.setWindowTitle(QStringLiteral("Wellspire Agent"));
    box.setIcon(QMessageBox::Warning);
    box.setText(QString::fromStdString(alert.messageText));
    box.setInformativeText(QString::fromStdString(alert.informativeText));
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    std::vector<QAbstractButton*> buttons;
    const auto titles = alert.buttons.empty() ? std::vector<std::string>{"OK"} : alert.buttons;
    for (std::size_t i = 0; i < titles.size(); ++i) {
        auto role = i == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole;
        buttons.push_back(box.addButton(QString::fromStdString(titles[i]), role));
    }
    box.setDefaultButton(static_cast<QPushButton*>(buttons.front()));
    box.setEscapeButton(buttons.size() > 1 ? buttons.back() : buttons.front());
    box.exec();
    for (std::size_t i = 0; i < buttons.size(); ++i)
        if (box.clickedButton() == buttons[i]) return platform::kAlertFirstButtonReturn + static_cast<int>(i);
    return platform::kAlertFirstButtonReturn + static_cast<int>(buttons.size()) - 1;
}

std::shared_ptr<platform::Panel> QtWindowing::createPanel(const platform::PanelLayout& layout) {
    return QtPanel::create(layout, placement_);
}

std::optional<platform::Rect> QtWindowing::mainScreenVisibleFrame() {
    // The screen that holds the middle of the window with keyboard focus, else the primary one.
    const QScreen* screen = nullptr;
    if (focusedWindow_)
        if (const auto w = focusedWindow_())
            screen = QGuiApplication::screenAt(QPoint(w->x + w->width / 2, w->y + w->height / 2));
    if (!screen) screen = QGuiApplication::primaryScreen();
    if (!screen) return std::nullopt;
    return toLogic(QRectF(screen->availableGeometry()));
}

double QtWindowing::textHeight(const std::string& text, platform::Font font, double width) {
    // Measured by the same painter call that draws the panel's labels.
    QImage scratch(1, 1, QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&scratch);
    painter.setFont(toQFont(font));
    const QRectF r = painter.boundingRect(QRectF(0, 0, width, 1e6), QString::fromStdString(text), panelTextOption());
    return std::ceil(r.height());
}

void QtWindowing::playSound(const std::string& name) { sound_.play(name); }

bool QtWindowing::openURL(const std::string& url) {
    // The permissions the settings links point to are the agent's own: its privacy window holds them.
    if (url.rfind(kSettingsScheme, 0) == 0) {
        if (!openPrivacy_) return false;
        openPrivacy_();
        return true;
    }
    const QUrl qurl(QString::fromStdString(url), QUrl::StrictMode);
    if (!qurl.isValid()) return false;
    return QDesktopServices::openUrl(qurl);
}

std::string QtWindowing::placeName(platform::Place place) {
    switch (place) {
        case platform::Place::SystemSettings: return "Wellspire Privacy";
        case platform::Place::AccessibilitySettings: return "Wellspire Privacy ▸ Typed text";
        case platform::Place::MoveToApplications: return "Install Wellspire Agent from its package";
        case platform::Place::ThisComputer: return "This computer";
    }
    return {};
}

void QtWindowing::terminate() {
    // Leave the event loop once the current handler has returned.
    QTimer::singleShot(0, qApp, [] { QCoreApplication::quit(); });
}

}  // namespace linuxplatform
