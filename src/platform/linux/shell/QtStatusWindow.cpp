#include "platform/linux/shell/QtStatusWindow.h"

#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace linuxplatform {

namespace {

QString buttonText(const std::string& title) { return QString::fromStdString(title).replace('&', "&&"); }

}  // namespace

QtStatusWindow::QtStatusWindow(const std::vector<platform::MenuEntry>& entries) {
    setWindowTitle(kTitle);
    setWindowIcon(QIcon::fromTheme("com.wellspire.Agent", QIcon(":/resources/menubar@2x.png")));
    setAttribute(Qt::WA_DeleteOnClose);
    auto* layout = new QVBoxLayout(this);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    for (const auto& entry : entries) {
        if (entry.separator) {
            layout->addSpacing(8);
            rows_.push_back(nullptr);
        } else if (!entry.action) {
            auto* line = new QLabel(QString::fromStdString(entry.title), this);
            QFont font = line->font();
            font.setBold(true);
            line->setFont(font);
            layout->addWidget(line);
            rows_.push_back(line);
        } else {
            auto* button = new QPushButton(buttonText(entry.title), this);
            auto run = entry.action;
            QObject::connect(button, &QPushButton::clicked, this, [run] { run(); });
            layout->addWidget(button);
            rows_.push_back(button);
        }
    }
}

void QtStatusWindow::setTitles(const std::vector<std::string>& titles) {
    for (std::size_t i = 0; i < rows_.size() && i < titles.size(); ++i) {
        if (auto* line = qobject_cast<QLabel*>(rows_[i]))
            line->setText(QString::fromStdString(titles[i]));
        else if (auto* button = qobject_cast<QPushButton*>(rows_[i]))
            button->setText(buttonText(titles[i]));
    }
}

void QtStatusWindow::present() {
    show();
    raise();
    activateWindow();
}

}  // namespace linuxplatform
