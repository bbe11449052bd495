#include "platform/linux/shell/QtStatusItem.h"

#include "platform/linux/shell/QtStatusWindow.h"
#include "platform/linux/common/Trace.h"

#include <QAction>
#include <QMenu>
#include <QPainter>
#include <QSystemTrayIcon>

namespace linuxplatform {

namespace {

QString menuText(const std::string& title) {
    // '&' would otherwise become a mnemonic marker.
    return QString::fromStdString(title).replace('&', "&&");
}

// The glyph of the status title as a coloured dot.
QColor dotColour(const std::string& title) {
    if (title.find("🟢") != std::string::npos) return QColor(52, 199, 89);
    if (title.find("🟡") != std::string::npos) return QColor(255, 204, 0);
    if (title.find("🔴") != std::string::npos) return QColor(255, 59, 48);
    if (title.find("💤") != std::string::npos) return QColor(142, 142, 147);
    return QColor();
}

}  // namespace

QImage QtStatusImage::render() const {
    const int w = static_cast<int>(2 * (width_ > 0 ? width_ : image_.width() / 2.0));
    const int h = static_cast<int>(2 * (height_ > 0 ? height_ : image_.height() / 2.0));
    QImage out = image_.scaled(std::max(1, w), std::max(1, h), Qt::KeepAspectRatio, Qt::SmoothTransformation);
    // Qt gives "name@2x.png" a ratio of 2; the status dot is drawn in plain pixels.
    out.setDevicePixelRatio(1.0);
    if (template_) {
        // A template image is a shape: draw it in the panel's foreground colour.
        QPainter p(&out);
        p.setCompositionMode(QPainter::CompositionMode_SourceIn);
        p.fillRect(out.rect(), Qt::white);
    }
    return out;
}

void QtMenuItem::setTitle(const std::string& title) {
    // The status is set again every couple of seconds; redrawing an unchanged tray icon is not free.
    if (title == title_) return;
    title_ = title;
    if (action_) action_->setText(menuText(title));
    if (changed_) changed_();
}

QtStatusItem::QtStatusItem() : tray_(new QSystemTrayIcon()) {
    refresh();
    tray_->show();
    trace::mark("status item shown");
}

QtStatusItem::~QtStatusItem() {
    delete window_;
    delete tray_;
    delete menu_;
}

void QtStatusItem::setImage(std::shared_ptr<platform::StatusImage> image) {
    image_ = std::dynamic_pointer_cast<QtStatusImage>(image);
    refresh();
}

void QtStatusItem::setTitle(const std::string& title) {
    if (title == title_) return;
    title_ = title;
    refresh();
}

void QtStatusItem::refresh() {
    QImage icon = image_ ? image_->render() : QImage(40, 40, QImage::Format_ARGB32_Premultiplied);
    if (!image_) icon.fill(Qt::transparent);
    icon = icon.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const QColor dot = dotColour(title_);
    if (dot.isValid()) {
        QPainter p(&icon);
        p.setRenderHint(QPainter::Antialiasing);
        const double d = icon.width() * 0.42;
        const QRectF r(icon.width() - d - 1, icon.height() - d - 1, d, d);
        p.setPen(QPen(QColor(0, 0, 0, 160), std::max(1.0, d / 8)));
        p.setBrush(dot);
        p.drawEllipse(r);
    }
    tray_->setIcon(QIcon(QPixmap::fromImage(icon)));
    QString tip = QStringLiteral("Wellspire Agent") + QString::fromStdString(title_);
    if (!items_.empty() && items_.front()) tip += "\n" + QString::fromStdString(items_.front()->title());
    tray_->setToolTip(tip);
    if (window_) window_->setTitles(titles());
}

// The window's rows: the menu's entries, with the privacy line above "Quit" as in the menu.
std::vector<platform::MenuEntry> QtStatusItem::windowEntries() const {
    auto entries = entries_;
    if (openPrivacy_ && !entries.empty())
        entries.insert(entries.end() - 1, platform::MenuEntry{false, kPrivacyLine, "", openPrivacy_});
    return entries;
}

std::vector<std::string> QtStatusItem::titles() const {
    std::vector<std::string> out;
    for (const auto& item : items_) out.push_back(item ? item->title() : std::string());
    if (openPrivacy_ && !out.empty()) out.insert(out.end() - 1, kPrivacyLine);
    return out;
}

void QtStatusItem::showWindow() {
    if (!window_) {
        window_ = new QtStatusWindow(windowEntries());
        window_->setTitles(titles());
    }
    window_->present();
}

std::vector<std::shared_ptr<platform::MenuItem>> QtStatusItem::setMenu(const std::vector<platform::MenuEntry>& entries) {
    delete menu_;
    delete window_;
    menu_ = new QMenu();
    entries_ = entries;
    items_.clear();
    std::vector<std::shared_ptr<platform::MenuItem>> result;
    for (const auto& entry : entries) {
        if (entry.separator) {
            menu_->addSeparator();
            items_.push_back(nullptr);
            result.push_back(nullptr);
            continue;
        }
        QAction* action = menu_->addAction(menuText(entry.title));
        if (!entry.key.empty())
            action->setShortcut(QKeySequence(QStringLiteral("Ctrl+") + QString::fromStdString(entry.key).toUpper()));
        if (entry.action) {
            auto run = entry.action;
            QObject::connect(action, &QAction::triggered, menu_, [run] { run(); });
        } else {
            action->setEnabled(false);
        }
        auto item = std::make_shared<QtMenuItem>(action, entry.title, [this] { refresh(); });
        items_.push_back(item);
        result.push_back(item);
    }
    if (openPrivacy_ && !menu_->actions().isEmpty()) {
        QAction* last = menu_->actions().back();
        QAction* privacy = new QAction(QString::fromUtf8(kPrivacyLine), menu_);
        auto open = openPrivacy_;
        QObject::connect(privacy, &QAction::triggered, menu_, [open] { open(); });
        menu_->insertAction(last, privacy);
    }
    tray_->setContextMenu(menu_);
    // A left click opens the menu too, as a status-area menu does.
    QObject::disconnect(tray_, &QSystemTrayIcon::activated, nullptr, nullptr);
    QObject::connect(tray_, &QSystemTrayIcon::activated, menu_, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger && menu_) menu_->popup(QCursor::pos());
    });
    refresh();
    return result;
}

}  // namespace linuxplatform
