#include "config/Prompter.h"

#include "config/Program.h"

#include <QFileDialog>
#include <QMessageBox>

namespace norvex::config {

namespace {

QMessageBox::Icon iconFor(Prompter::Kind kind)
{
    if (kind == Prompter::Kind::Warning)
        return QMessageBox::Warning;
    if (kind == Prompter::Kind::Error)
        return QMessageBox::Critical;
    return QMessageBox::Information;
}

} // namespace

void QtPrompter::message(const QString &text, Kind kind)
{
    QMessageBox box(iconFor(kind), QString::fromUtf8(ApplicationTitle), text, QMessageBox::Ok,
                    m_parent);
    box.exec();
}

bool QtPrompter::confirm(const QString &text)
{
    QMessageBox box(QMessageBox::Question, QString::fromUtf8(ApplicationTitle), text,
                    QMessageBox::Yes | QMessageBox::Cancel, m_parent);
    box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes;
}

bool QtPrompter::question(const QString &text, Kind kind)
{
    QMessageBox box(kind == Kind::Information ? QMessageBox::Question : iconFor(kind),
                    QString::fromUtf8(ApplicationTitle), text, QMessageBox::Yes | QMessageBox::No,
                    m_parent);
    box.setDefaultButton(QMessageBox::No);
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
