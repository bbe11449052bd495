#include "platform/linux/shell/QtConsentWindow.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

#include "platform/linux/consent/Consent.h"
#include "platform/linux/consent/ConsentAccessibility.h"
#include "platform/linux/shell/Autostart.h"

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
                       "accessibility support, which other assistive programs use as well; when you turn this off "
                       "again, or quit the agent, it switches it back off, unless it was on before or something "
                       "else switched it since. Programs that were already open when you turned this on, "
                       "such as a web browser, may need to be opened again before their fields can be read."),
        this, true));

    // Shown while the user agrees but the desktop's switch is off: nothing can be read then.
    switchedOff_ = new QWidget(this);
    auto* offRow = new QHBoxLayout(switchedOff_);
    offRow->setContentsMargins(24, 0, 0, 6);
    offRow->addWidget(paragraph(
        QStringLiteral("<b>Your desktop's accessibility support is switched off</b>, so no field is read: "
                       "you or another program switched it off."),
        switchedOff_), 1);
    auto* switchOn = new QPushButton(QStringLiteral("Switch it &on"), switchedOff_);
    offRow->addWidget(switchOn, 0, Qt::AlignTop);
    connect(switchOn, &QPushButton::clicked, this, [this] {
        if (accessibility_) accessibility_->switchOn();
    });
    switchedOff_->hide();
    layout->addWidget(switchedOff_);

    screenText_ = new QCheckBox(QStringLiteral("&Screen text"), this);
    layout->addWidget(screenText_);
    layout->addWidget(paragraph(
        QStringLiteral("Takes a still image of the window in front, or of the screen, at most every 1.2 seconds "
                       "and reads its text on this computer. The images never leave this computer and are never "
                       "kept."),
        this, true));

    // What the disk said to the last change, when it refused it.
    notice_ = paragraph(QString(), this);
    notice_->setStyleSheet(QStringLiteral("color: #b00020"));
    notice_->hide();
    layout->addWidget(notice_);

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

    connect(typedText_, &QCheckBox::toggled, this,
            [this](bool on) { changed(true, on, consent_->setTypedText(on)); });
    connect(screenText_, &QCheckBox::toggled, this,
            [this](bool on) { changed(false, on, consent_->setScreenText(on)); });
    QPointer<QtConsentWindow> self(this);
    consent_->onChange([self] {
        if (self) self->sync();
    });
    sync();
}

void QtConsentWindow::changed(bool typed, bool on, bool saved) {
    const QString what = typed ? QStringLiteral("typed text") : QStringLiteral("screen text");
    const QString file = QString::fromStdString(consent_->path()).toHtmlEscaped();
    if (saved) notice_->clear();
    else if (on)
        notice_->setText(QStringLiteral("Your choice could not be saved to %1, so reading %2 stays off. Check "
                                        "that this file can be written, then try again.")
                             .arg(file, what));
    else
        // Stopped for now all the same; only the next start would read the old choice from the file.
        notice_->setText(QStringLiteral("Reading %1 is off, but this could not be saved to %2: when Wellspire "
                                        "Agent starts again, it may read %1 again. Check that this file can be "
                                        "written.")
                             .arg(what, file));
    notice_->setVisible(!saved);
    // The switch shows what holds, not what was asked.
    sync();
    fitHeight();
}

void QtConsentWindow::followAccessibility(std::shared_ptr<ConsentAccessibility> accessibility) {
    accessibility_ = std::move(accessibility);
    QPointer<QtConsentWindow> self(this);
    accessibility_->onChange([self] {
        if (!self) return;
        self->sync();
        if (self->isVisible()) self->fitHeight();
    });
    sync();
}

void QtConsentWindow::sync() {
    const QSignalBlocker a(typedText_), b(screenText_), c(atLogin_);
    typedText_->setChecked(consent_->typedText());
    screenText_->setChecked(consent_->screenText());
    switchedOff_->setVisible(accessibility_ && accessibility_->switchedOff());
    if (atLogin_) atLogin_->setChecked(autostart_->isOn());
    const QString backend = QString::fromStdString(backend_ ? backend_() : std::string()).toHtmlEscaped();
    sends_->setText(
        QStringLiteral("<b>What it sends, and where:</b> the text it read, to %1, which answers whether a "
                       "check-in is due. Every 45 seconds it also sends numbers about how you used the computer "
                       "(application switches, the share of deleting keys, late-night and active minutes) and, "
                       "when your dashboard allows it, how long each application was in front.")
            .arg(backend.isEmpty() ? QStringLiteral("the Wellspire service") : backend));
}

void QtConsentWindow::fitHeight() {
    // As tall as its text at this width.
    if (const int h = layout()->totalHeightForWidth(width()); h > 0) resize(width(), h);
}

void QtConsentWindow::present() {
    sync();
    fitHeight();
    show();
    raise();
    activateWindow();
    // Someone working it from the keyboard starts at the first switch.
    typedText_->setFocus(Qt::ActiveWindowFocusReason);
}

}  // namespace linuxplatform
