#include "platform/linux/shell/QtPanel.h"

#include <cmath>

#include <QAccessible>
#include <QAccessibleWidget>
#include <QGuiApplication>
#include <QTimer>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QRadialGradient>

#include "platform/linux/common/PanelPlacement.h"
#include "platform/linux/shell/QtGeometry.h"

namespace linuxplatform {

namespace {

// Inside the panel the logic's frames are y-up too.
QRectF inPanel(const platform::Rect& r, double panelHeight) {
    return QRectF(r.x, panelHeight - (r.y + r.height), r.width, r.height);
}

class PanelAccessible final : public QAccessibleWidget {
public:
    explicit PanelAccessible(QWidget* panel) : QAccessibleWidget(panel, QAccessible::AlertMessage) {}
};

class PanelButtonAccessible final : public QAccessibleWidget {
public:
    explicit PanelButtonAccessible(QPushButton* button) : QAccessibleWidget(button, QAccessible::Button) {}
    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Name) return static_cast<QPushButton*>(widget())->text();
        return QAccessibleWidget::text(t);
    }
    QStringList actionNames() const override { return {QStringLiteral("click")}; }
    void doAction(const QString& name) override {
        if (name != QStringLiteral("click")) return;
        // After the accessibility call has been answered: the action may close the panel.
        QPointer<QPushButton> button = static_cast<QPushButton*>(widget());
        QTimer::singleShot(0, button, [button] {
            if (button) button->click();
        });
    }
};

QAccessibleInterface* panelAccessibility(const QString& className, QObject* object) {
    if (!object || !object->isWidgetType()) return nullptr;
    if (className == QLatin1String("linuxplatform::PanelWidget"))
        return new PanelAccessible(static_cast<QWidget*>(object));
    if (className == QLatin1String("linuxplatform::PanelButton"))
        return new PanelButtonAccessible(static_cast<QPushButton*>(object));
    return nullptr;
}

}  // namespace

PanelWidget::PanelWidget(const platform::PanelLayout& layout)
    : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus),
      layout_(layout) {
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_DeleteOnClose, false);
    setFocusPolicy(Qt::NoFocus);
    setWindowTitle(QString::fromStdString(layout.identifier));
    static const bool factoryInstalled = (QAccessible::installFactory(panelAccessibility), true);
    (void)factoryInstalled;
    setAccessibleName(QString::fromStdString(layout.title));
    setAccessibleDescription(QString::fromStdString(layout.message));
    setFixedSize(static_cast<int>(std::lround(layout.width)), static_cast<int>(std::lround(layout.height)));
}

void PanelWidget::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const double w = layout_.width, h = layout_.height;
    QPainterPath shape;
    shape.addRoundedRect(QRectF(0, 0, w, h), layout_.cornerRadius, layout_.cornerRadius);
    p.setClipPath(shape);
    p.fillRect(rect(), toQColor(layout_.background));

    // An ellipse centred on the start point whose radii reach the end point.
    const auto& g = layout_.glow;
    const QPointF centre(g.start.x * w, (1.0 - g.start.y) * h);
    const double rx = std::max(1.0, std::abs(g.end.x - g.start.x) * w);
    const double ry = std::max(1.0, std::abs(g.end.y - g.start.y) * h);
    QRadialGradient gradient(QPointF(0, 0), 1.0);
    gradient.setColorAt(0, toQColor(g.from));
    gradient.setColorAt(1, toQColor(g.to));
    QBrush brush(gradient);
    brush.setTransform(QTransform().translate(centre.x(), centre.y()).scale(rx, ry));
    p.fillRect(rect(), brush);

    for (const auto& label : layout_.labels) {
        p.setFont(toQFont(label.font));
        p.setPen(toQColor(label.color));
        p.drawText(inPanel(label.frame, h), QString::fromStdString(label.text), panelTextOption());
    }

    p.setClipping(false);
    if (layout_.borderWidth > 0) {
        QPen pen(toQColor(layout_.borderColor));
        pen.setWidthF(layout_.borderWidth);
        p.setPen(pen);
        p.setBrush(Qt::NoBrush);
        const double inset = layout_.borderWidth / 2;
        p.drawRoundedRect(QRectF(inset, inset, w - 2 * inset, h - 2 * inset), layout_.cornerRadius - inset,
                          layout_.cornerRadius - inset);
    }
}

std::shared_ptr<QtPanel> QtPanel::create(const platform::PanelLayout& layout,
                                         std::shared_ptr<PanelPlacement> placement) {
    auto panel = std::shared_ptr<QtPanel>(new QtPanel(layout, std::move(placement)));
    panel->build();
    return panel;
}

QtPanel::QtPanel(const platform::PanelLayout& layout, std::shared_ptr<PanelPlacement> placement)
    : layout_(layout), placement_(std::move(placement)) {}

QtPanel::~QtPanel() {
    if (widget_) {
        widget_->hide();
        widget_->deleteLater();
    }
}

void QtPanel::build() {
    widget_ = new PanelWidget(layout_);
    std::weak_ptr<QtPanel> weak = weak_from_this();
    for (const auto& spec : layout_.buttons) {
        auto* button = new PanelButton(QString::fromStdString(spec.title), widget_);
        button->setGeometry(inPanel(spec.frame, layout_.height).toRect());
        button->setFocusPolicy(Qt::NoFocus);
        button->setCursor(Qt::PointingHandCursor);
        button->setStyleSheet(spec.whiteBackground
                                  ? "QPushButton{background:#ffffff;color:#000000;border:none;border-radius:7px;}"
                                    "QPushButton:pressed{background:#d8d8d8;}"
                                  : "QPushButton{background:rgba(255,255,255,0.10);color:#ffffff;"
                                    "border:1px solid rgba(255,255,255,0.16);border-radius:7px;}"
                                    "QPushButton:pressed{background:rgba(255,255,255,0.22);}");
        if (spec.isDefault) {
            button->setDefault(true);
            button->setShortcut(QKeySequence(Qt::Key_Return));
        }
        auto action = spec.action;
        QObject::connect(button, &QPushButton::clicked, widget_, [weak, action] {
            auto self = weak.lock();
            if (self && action) action(self);
        });
    }
    if (placement_ && !placement_->translucent()) {
        // Without a compositor nothing is translucent: cut the window to the rounded shape.
        QPainterPath shape;
        shape.addRoundedRect(QRectF(0, 0, layout_.width, layout_.height), layout_.cornerRadius, layout_.cornerRadius);
        widget_->setMask(QRegion(shape.toFillPolygon().toPolygon()));
    }
    widget_->move(toQtTopLeft({0, 0}, layout_.height).toPoint());
}

bool QtPanel::isVisible() const { return widget_ && widget_->isVisible(); }

platform::Rect QtPanel::frame() const {
    if (!widget_) return platform::Rect{};
    return toLogic(QRectF(widget_->pos(), QSizeF(layout_.width, layout_.height)));
}

void QtPanel::setFrameOrigin(platform::Point origin) {
    if (widget_) widget_->move(toQtTopLeft(origin, layout_.height).toPoint());
}

void QtPanel::orderFrontRegardless() {
    if (!widget_) return;
    if (!widget_->isVisible()) {
        if (placement_) placement_->prepare(*widget_);
        widget_->show();
    }
    widget_->raise();
}

void QtPanel::close() {
    if (!widget_) return;
    widget_->hide();
    widget_->deleteLater();
    widget_ = nullptr;
}

}  // namespace linuxplatform
