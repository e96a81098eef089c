#include "config/Prompter.h"

#include "config/Program.h"

#include <QFileDialog>
#include <QMessageBox>

namespace norvex::config {

void QtPrompter::message(const QString &text, Kind kind)
{
    QMessageBox::Icon icon = QMessageBox::Information;
    if (kind == Kind::Warning)
        icon = QMessageBox::Warning;
    else if (kind == Kind::Error)
        icon = QMessageBox::Critical;
    QMessageBox box(icon, QString::fromUtf8(ApplicationTitle), text, QMessageBox::Ok, m_parent);
    box.exec();
}

bool QtPrompter::confirm(const QString &text)
{
    QMessageBox box(QMessageBox::Question, QString::fromUtf8(ApplicationTitle), text,
                    QMessageBox::Yes | QMessageBox::Cancel, m_parent);
    box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes;
}

QString QtPrompter::openFileName(const QString &title, const QString &filter)
{
    return QFileDialog::getOpenFileName(m_parent, title, QString(), filter);
}

QString QtPrompter::folderName(const QString &title)
{
    return QFileDialog::getExistingDirectory(m_parent, title);
}

} // namespace norvex::config
