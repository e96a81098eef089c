#include "config/SftpSubPage.h"

#include "config/ConnectionCheck.h"
#include "config/Program.h"
#include "config/Prompter.h"
#include "shared/JobTable.h"
#include "shared/mlb2.h"

#include <QGridLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>

namespace norvex::config {

namespace {
constexpr int kDefaultPort = 22;
}

TSftpSubPage::TSftpSubPage(Program &program, bool change, QWidget *parent)
    : TDestinationSubPage(program, change, parent)
{
    m_host = lineEdit("EdtSFTPHost");
    m_port = portBox("SpnSFTPPort", kDefaultPort);
    m_user = lineEdit("EdtSFTPUser");
    m_password = lineEdit("EdtSFTPPass", true);
    m_key = lineEdit("EdtSFTPKey");
    auto *browse = new QPushButton(QStringLiteral("参照..."), this);
    browse->setObjectName(name("BotSFTPKey"));
    browse->setToolTip(QStringLiteral("秘密鍵ファイルの選択"));
    m_check = new QPushButton(QStringLiteral("接続チェック"), this);
    m_check->setObjectName(name("BotSFTPConnect"));
    m_check->setToolTip(QStringLiteral("接続チェック"));

    auto *grid = new QGridLayout(this);
    addRow(grid, 0, 0, QStringLiteral("ホスト名"), m_host);
    addRow(grid, 0, 2, QStringLiteral("ポート番号"), m_port);
    addRow(grid, 1, 0, QStringLiteral("ユーザ名"), m_user);
    addRow(grid, 1, 2, QStringLiteral("パスワード"), m_password);
    addRow(grid, 2, 0, QStringLiteral("秘密鍵"), m_key);
    grid->addWidget(browse, 2, 2);
    grid->addWidget(m_check, 3, 3, Qt::AlignRight);
    grid->setColumnStretch(1, 1);

    connect(browse, &QPushButton::clicked, this, &TSftpSubPage::browseKey);
    connect(m_check, &QPushButton::clicked, this, &TSftpSubPage::checkConnection);
}

void TSftpSubPage::reset()
{
    m_host->clear();
    m_port->setValue(kDefaultPort);
    m_user->clear();
    m_password->clear();
    m_key->clear();
}

void TSftpSubPage::load(const shared::TMlb2 &job)
{
    m_host->setText(job.FieldByName(QStringLiteral("hostname")));
    m_port->setValue(
        shared::readInteger(QStringLiteral("port"), job.FieldByName(QStringLiteral("port"))));
    m_user->setText(job.FieldByName(QStringLiteral("username")));
    m_password->setText(job.FieldByName(QStringLiteral("password")));
    m_key->setText(job.FieldByName(QStringLiteral("keyfile")));
}

void TSftpSubPage::write(shared::TMlb2 &job) const
{
    job.SetFieldByName(QStringLiteral("hostname"), m_host->text());
    job.SetFieldByName(QStringLiteral("port"), QString::number(m_port->value()));
    job.SetFieldByName(QStringLiteral("username"), m_user->text());
    job.SetFieldByName(QStringLiteral("password"), m_password->text());
    job.SetFieldByName(QStringLiteral("keyfile"), m_key->text());
}

QString TSftpSubPage::problem(QWidget **focus) const
{
    // The password counts as required also when a key file is given.
    const std::pair<QLineEdit *, const char *> required[] = {
        {m_host, "ホスト名は必須項目です。"},
        {m_user, "ユーザ名は必須項目です。"},
        {m_password, "パスワードは必須項目です。"},
    };
    for (const auto &[edit, message] : required) {
        if (edit->text().isEmpty()) {
            *focus = edit;
            return QString::fromUtf8(message);
        }
    }
    return {};
}

void TSftpSubPage::browseKey()
{
    const QString file = m_program.prompter().openFileName(
        QStringLiteral("秘密鍵の選択"), QStringLiteral("Putty秘密鍵(*.ppk);;全てのファイル(*)"));
    if (!file.isEmpty())
        m_key->setText(file);
}

void TSftpSubPage::checkConnection()
{
    // The check waits on the network; a second press meanwhile would start another.
    m_check->setEnabled(false);
    checkSftpConnection(m_program, m_host->text(), m_port->value(), m_user->text(),
                        m_password->text(), m_key->text());
    m_check->setEnabled(true);
}

} // namespace norvex::config
