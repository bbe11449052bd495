#include "platform/linux/common/QtConsentWindow.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

#include "platform/linux/common/Autostart.h"
#include "platform/linux/common/Consent.h"

namespace linuxplatform {

namespace {

QLabel* paragraph(const QString& text, QWidget* parent, bool indent = false) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setTextFormat(Qt::RichText);
    label->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Maximum);
    if (indent) label->setContentsMargins(24, 0, 0, 6);
    return label;
}

}  // namespace

QtConsentWindow::QtConsentWindow(std::shared_ptr<Consent> consent, std::function<std::string()> backend,
                                 std::shared_ptr<Autostart> autostart)
    : QWidget(nullptr, Qt::Window),
      consent_(std::move(consent)),
      backend_(std::move(backend)),
      autostart_(std::move(autostart)) {
    setWindowTitle(QString::fromUtf8(kTitle));
    setAccessibleName(QString::fromUtf8(kTitle));
    setFixedWidth(580);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 20, 24, 16);
    layout->setSpacing(8);

    layout->addWidget(paragraph(
        QStringLiteral("<b style='font-size:15px'>What Wellspire Agent reads, and what it sends</b>"), this));
    layout->addWidget(paragraph(
        QStringLiteral("Wellspire Agent looks out for signs that you may be going through something hard, and "
                       "offers a check-in when it notices one. It reads nothing until you turn on a switch below. "
                       "You can turn either off again at any time; it then stops reading at once."),
        this));

    typedText_ = new QCheckBox(QStringLiteral("&Typed text"), this);
    layout->addWidget(typedText_);
    layout->addWidget(paragraph(
        QStringLiteral("Reads the text of the field you are typing in, in any application, and the timing of "
                       "your typing: how often you press a key and how often you delete, never which keys. "
                       "Password fields are never read. To read fields, the agent switches on your desktop's "
                       "accessibility support, which other assistive programs use as well; it stays on for them "
                       "if you turn this off again. Programs that were already open when you turned this on, "
                       "such as a web browser, may need to be opened again before their fields can be read."),
        this, true));

    screenText_ = new QCheckBox(QStringLiteral("&Screen text"), this);
    layout->addWidget(screenText_);
    layout->addWidget(paragraph(
        QStringLiteral("Takes a still image of the window in front, or of the screen, at most every 1.2 seconds "
                       "and reads its text on this computer. The images never leave this computer and are never "
                       "kept."),
        this, true));

    sends_ = paragraph(QString(), this);
    layout->addWidget(sends_);
    layout->addWidget(paragraph(
        QStringLiteral("<b>What it never records:</b> which keys you press, the contents of password fields, "
                       "images of your screen, and anything it read once the check is done: it keeps no copy of "
                       "what you wrote."),
        this));

    if (autostart_) {
        atLogin_ = new QCheckBox(QStringLiteral("Start Wellspire Agent when I &log in"), this);
        layout->addWidget(atLogin_);
        connect(atLogin_, &QCheckBox::toggled, this, [this](bool on) {
            // The disk may refuse: the switch shows what is there.
            if (!autostart_->setOn(on)) sync();
        });
    }

    layout->addStretch(1);
    auto* buttons = new QDialogButtonBox(this);
    QPushButton* done = buttons->addButton(QStringLiteral("&Done"), QDialogButtonBox::AcceptRole);
    layout->addWidget(buttons);
    connect(done, &QPushButton::clicked, this, &QWidget::close);

    connect(typedText_, &QCheckBox::toggled, this, [this](bool on) { consent_->setTypedText(on); });
    connect(screenText_, &QCheckBox::toggled, this, [this](bool on) { consent_->setScreenText(on); });
    QPointer<QtConsentWindow> self(this);
    consent_->onChange([self] {
        if (self) self->sync();
    });
    sync();
}

void QtConsentWindow::sync() {
    const QSignalBlocker a(typedText_), b(screenText_), c(atLogin_);
    typedText_->setChecked(consent_->typedText());
    screenText_->setChecked(consent_->screenText());
    if (atLogin_) atLogin_->setChecked(autostart_->isOn());
    const QString backend = QString::fromStdString(backend_ ? backend_() : std::string()).toHtmlEscaped();
    sends_->setText(
        QStringLiteral("<b>What it sends, and where:</b> the text it read, to %1, which answers whether a "
                       "check-in is due. Every 45 seconds it also sends numbers about how you used the computer "
                       "(application switches, the share of deleting keys, late-night and active minutes) and, "
                       "when your dashboard allows it, how long each application was in front.")
            .arg(backend.isEmpty() ? QStringLiteral("the Wellspire service") : backend));
}

void QtConsentWindow::present() {
    sync();
    // As tall as its text at this width.
    if (const int h = layout()->totalHeightForWidth(width()); h > 0) resize(width(), h);
    show();
    raise();
    activateWindow();
}

}  // namespace linuxplatform
