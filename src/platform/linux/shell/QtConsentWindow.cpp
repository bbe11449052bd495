#include "platform/linux/shell/QtConsentWindow.h"

#include <QCheckBox>
#include <QComboBox>
#include <QListWidget>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

#include "platform/linux/common/CaptureStanding.h"
#include "platform/linux/consent/ApplicationIdentity.h"
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
    // Shown while the user agrees but the desktop does not share the screen: why, and what happens next.
    sharing_ = paragraph(QString(), this, true);
    sharing_->hide();
    layout->addWidget(sharing_);

    // Places never read, whatever the switches above say.
    privateBrowsing_ = new QCheckBox(QStringLiteral("Read &private browsing windows"), this);
    layout->addWidget(privateBrowsing_);
    layout->addWidget(paragraph(
        QStringLiteral("Off unless you turn it on: fields in a private or incognito browser window are not read, "
                       "and such windows are not captured and are blank in an image of the screen."),
        this, true));
    neverRead_ = new QWidget(this);
    auto* never = new QVBoxLayout(neverRead_);
    never->setContentsMargins(0, 0, 0, 0);
    never->addWidget(paragraph(QStringLiteral("<b>Never read these applications</b>"), neverRead_));
    never->addWidget(paragraph(
        QStringLiteral("Their fields are never read, their windows are never captured, and they are blank in an "
                       "image of the screen. Their time in front and the switches to and from them are still "
                       "counted in the usage numbers it sends, which name no text."),
        neverRead_, true));
    neverReadList_ = new QListWidget(neverRead_);
    neverReadList_->setAccessibleName(QStringLiteral("Applications never read"));
    neverReadList_->setMaximumHeight(96);
    never->addWidget(neverReadList_);
    auto* pick = new QHBoxLayout();
    choices_ = new QComboBox(neverRead_);
    choices_->setAccessibleName(QStringLiteral("Application to add"));
    auto* pickLabel = new QLabel(QStringLiteral("Appli&cation:"), neverRead_);
    pickLabel->setBuddy(choices_);
    pick->addWidget(pickLabel);
    pick->addWidget(choices_, 1);
    auto* add = new QPushButton(QStringLiteral("&Add"), neverRead_);
    remove_ = new QPushButton(QStringLiteral("&Remove"), neverRead_);
    pick->addWidget(add);
    pick->addWidget(remove_);
    never->addLayout(pick);
    neverRead_->hide();
    layout->addWidget(neverRead_);
    connect(add, &QPushButton::clicked, this, [this] {
        const QString id = choices_->currentData().toString();
        if (id.isEmpty()) return;
        auto list = consent_->neverRead();
        list.push_back(id.toStdString());
        savedOrNot(consent_->setNeverRead(list), QString());
    });
    connect(remove_, &QPushButton::clicked, this, [this] {
        const auto* item = neverReadList_->currentItem();
        if (!item) return;
        auto list = consent_->neverRead();
        std::erase(list, item->data(Qt::UserRole).toString().toStdString());
        savedOrNot(consent_->setNeverRead(list),
                   QStringLiteral("This could not be saved to %1, so that application stays unread. Check that "
                                  "this file can be written, then try again."));
    });
    connect(privateBrowsing_, &QCheckBox::toggled, this, [this](bool on) {
        savedOrNot(consent_->setPrivateBrowsing(on),
                   on ? QStringLiteral("Your choice could not be saved to %1, so private browsing windows stay "
                                       "unread. Check that this file can be written, then try again.")
                      : QStringLiteral("Private browsing windows are not read now, but this could not be saved to "
                                       "%1: when Wellspire Agent starts again, it may read them. Check that this "
                                       "file can be written."));
    });

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

void QtConsentWindow::savedOrNot(bool saved, const QString& refused) {
    const QString file = QString::fromStdString(consent_->path()).toHtmlEscaped();
    if (saved) notice_->clear();
    else
        notice_->setText((refused.isEmpty() ? QStringLiteral("This could not be saved to %1: when Wellspire Agent "
                                                             "starts again, it may read that application again. "
                                                             "Check that this file can be written.")
                                            : refused)
                             .arg(file));
    notice_->setVisible(!saved);
    sync();
    fitHeight();
}

void QtConsentWindow::offerNeverRead(std::shared_ptr<ApplicationIdentity> identity) {
    identity_ = std::move(identity);
    neverRead_->show();
    sync();
}

void QtConsentWindow::fillChoices() {
    const QSignalBlocker block(choices_);
    choices_->clear();
    if (!identity_) return;
    const auto listed = consent_->neverRead();
    auto isListed = [&listed](const std::string& id) { return std::find(listed.begin(), listed.end(), id) != listed.end(); };
    // Running ones first: those are the ones the user has in mind now.
    for (const auto& id : identity_->running())
        if (!isListed(id))
            choices_->addItem(QStringLiteral("%1 (running)").arg(QString::fromStdString(identity_->displayName(id))),
                              QString::fromStdString(id));
    for (const auto& entry : identity_->installed())
        if (!isListed(entry.id) && choices_->findData(QString::fromStdString(entry.id)) < 0)
            choices_->addItem(QString::fromStdString(entry.name), QString::fromStdString(entry.id));
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

void QtConsentWindow::followCapture(std::shared_ptr<CaptureStanding> standing) {
    standing_ = std::move(standing);
    QPointer<QtConsentWindow> self(this);
    standing_->onChange([self] {
        if (!self) return;
        self->sync();
        if (self->isVisible()) self->fitHeight();
    });
    sync();
}

void QtConsentWindow::sync() {
    const QSignalBlocker a(typedText_), b(screenText_), c(atLogin_), d(privateBrowsing_);
    privateBrowsing_->setChecked(consent_->privateBrowsing());
    const QString current = neverReadList_->currentItem() ? neverReadList_->currentItem()->data(Qt::UserRole).toString()
                                                          : QString();
    neverReadList_->clear();
    for (const auto& id : consent_->neverRead()) {
        auto* item = new QListWidgetItem(
            QString::fromStdString(identity_ ? identity_->displayName(id) : id), neverReadList_);
        item->setData(Qt::UserRole, QString::fromStdString(id));
        if (item->data(Qt::UserRole).toString() == current) neverReadList_->setCurrentItem(item);
    }
    remove_->setEnabled(neverReadList_->count() > 0);
    if (neverRead_->isVisible() || identity_) fillChoices();
    typedText_->setChecked(consent_->typedText());
    screenText_->setChecked(consent_->screenText());
    switchedOff_->setVisible(accessibility_ && accessibility_->switchedOff());
    const std::string sharing = standing_ && consent_->screenText() ? standing_->explanation() : std::string();
    sharing_->setText(QStringLiteral("<b>%1</b>").arg(QString::fromStdString(sharing).toHtmlEscaped()));
    sharing_->setVisible(!sharing.empty());
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
    // Applications may have been installed or started since.
    if (identity_) identity_->refresh();
    // A sharing the user declined or stopped is asked for again now that they came here.
    if (standing_ && consent_->screenText()) standing_->askAgain();
    sync();
    fitHeight();
    show();
    raise();
    activateWindow();
    // Someone working it from the keyboard starts at the first switch.
    typedText_->setFocus(Qt::ActiveWindowFocusReason);
}

}  // namespace linuxplatform
