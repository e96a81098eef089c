#include "config/FtpSubPage.h"

#include "config/ConnectionCheck.h"
#include "shared/JobTable.h"
#include "shared/mlb2.h"

#include <QGridLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>

namespace norvex::config {

namespace {
constexpr int kDefaultPort = 21;
}

TFtpSubPage::TFtpSubPage(Program &program, bool change, QWidget *parent)
    : TDestinationSubPage(program, change, parent)
{
    m_host = lineEdit("EdtFTPHost");
    m_port = portBox("SpnFTPPort", kDefaultPort);
    m_user = lineEdit("EdtFTPUser");
    m_password = lineEdit("EdtFTPPass", true);
    m_check = new QPushButton(QStringLiteral("接続チェック"), this);
    m_check->setObjectName(name("BotFTPConnect"));
    m_check->setToolTip(QStringLiteral("接続チェック"));

    auto *grid = new QGridLayout(this);
    addRow(grid, 0, 0, QStringLiteral("ホスト名"), m_host);
    addRow(grid, 0, 2, QStringLiteral("ポート番号"), m_port);
    addRow(grid, 1, 0, QStringLiteral("ユーザ名"), m_user);
    addRow(grid, 1, 2, QStringLiteral("パスワード"), m_password);
    grid->addWidget(m_check, 2, 3, Qt::AlignRight);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(3, 1);

    connect(m_check, &QPushButton::clicked, this, &TFtpSubPage::checkConnection);
}

void TFtpSubPage::reset()
{
    m_host->clear();
    m_port->setValue(kDefaultPort);
    m_user->clear();
    m_password->clear();
}

void TFtpSubPage::load(const shared::TMlb2 &job)
{
    m_host->setText(job.FieldByName(QStringLiteral("hostname")));
    m_port->setValue(
        shared::readInteger(QStringLiteral("port"), job.FieldByName(QStringLiteral("port"))));
    m_user->setText(job.FieldByName(QStringLiteral("username")));
    m_password->setText(job.FieldByName(QStringLiteral("password")));
}

void TFtpSubPage::write(shared::TMlb2 &job) const
{
    job.SetFieldByName(QStringLiteral("hostname"), m_host->text());
    job.SetFieldByName(QStringLiteral("port"), QString::number(m_port->value()));
    job.SetFieldByName(QStringLiteral("username"), m_user->text());
    job.SetFieldByName(QStringLiteral("password"), m_password->text());
}

QString TFtpSubPage::problem(QWidget **focus) const
{
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

void TFtpSubPage::checkConnection()
{
    // The client processes events while it waits: no second check meanwhile.
    m_check->setEnabled(false);
    checkFtpConnection(m_program, m_host->text(), m_port->value(), m_user->text(),
                       m_password->text());
    m_check->setEnabled(true);
}

} // namespace norvex::config
