#include "config/SftpSubPage.h"

#include "config/ConnectionCheck.h"
#include "config/Program.h"
#include "config/Prompter.h"
#include "shared/JobRules.h"
#include "shared/mlb2.h"

#include <QGridLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>

namespace norvex::config {

TSftpSubPage::TSftpSubPage(Program &program, bool change, QWidget *parent)
    : TServerSubPage(program, change, QStringLiteral("SFTP"), 22, parent)
{
    m_key = lineEdit("EdtSFTPKey");
    auto *browse = new QPushButton(QStringLiteral("参照..."), this);
    browse->setObjectName(name("BotSFTPKey"));
    browse->setToolTip(QStringLiteral("秘密鍵ファイルの選択"));
    addRow(m_grid, 2, 0, QStringLiteral("秘密鍵"), m_key);
    m_grid->addWidget(browse, 2, 2);
    m_grid->addWidget(m_check, 3, 3, Qt::AlignRight);
    // The key row comes before the check below it, though made after it.
    setTabOrder(m_password, m_key);
    setTabOrder(m_key, browse);
    setTabOrder(browse, m_check);
    connect(browse, &QPushButton::clicked, this, &TSftpSubPage::browseKey);
}

void TSftpSubPage::reset()
{
    TServerSubPage::reset();
    m_key->clear();
}

void TSftpSubPage::load(const shared::TMlb2 &job)
{
    TServerSubPage::load(job);
    m_key->setText(job.FieldByName(QStringLiteral("keyfile")));
}

void TSftpSubPage::read(shared::JobInput &input) const
{
    TServerSubPage::read(input);
    input.keyFile = m_key->text();
}

void TSftpSubPage::browseKey()
{
    const QString file = m_program.prompter().openFileName(
        QStringLiteral("秘密鍵の選択"), QStringLiteral("Putty秘密鍵(*.ppk);;全てのファイル(*)"));
    if (!file.isEmpty())
        m_key->setText(file);
}

void TSftpSubPage::runCheck()
{
    checkSftpConnection(m_program, m_host->text(), m_port->value(), m_user->text(),
                        m_password->text(), m_key->text());
}

} // namespace norvex::config
