#include "config/ServerSubPage.h"

#include "shared/JobRules.h"
#include "shared/JobTable.h"
#include "shared/mlb2.h"

#include <QGridLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>

namespace norvex::config {

TServerSubPage::TServerSubPage(Program &program, bool change, const QString &kind, int defaultPort,
                               QWidget *parent)
    : TDestinationSubPage(program, change, parent), m_grid(new QGridLayout(this)),
      m_defaultPort(defaultPort)
{
    const auto component = [&](const char *prefix, const char *rest) {
        return (QLatin1String(prefix) + kind + QLatin1String(rest)).toLatin1();
    };
    m_host = lineEdit(component("Edt", "Host").constData());
    m_port = portBox(component("Spn", "Port").constData(), defaultPort);
    m_user = lineEdit(component("Edt", "User").constData());
    m_password = lineEdit(component("Edt", "Pass").constData(), true);
    m_check = new QPushButton(QStringLiteral("接続チェック"), this);
    m_check->setObjectName(name(component("Bot", "Connect").constData()));
    m_check->setToolTip(QStringLiteral("接続チェック"));

    addRow(m_grid, 0, 0, QStringLiteral("ホスト名"), m_host);
    addRow(m_grid, 0, 2, QStringLiteral("ポート番号"), m_port);
    addRow(m_grid, 1, 0, QStringLiteral("ユーザ名"), m_user);
    addRow(m_grid, 1, 2, QStringLiteral("パスワード"), m_password);
    m_grid->setColumnStretch(1, 1);

    connect(m_check, &QPushButton::clicked, this, [this] {
        m_check->setEnabled(false);
        runCheck();
        m_check->setEnabled(true);
    });
}

void TServerSubPage::reset()
{
    m_host->clear();
    m_port->setValue(m_defaultPort);
    m_user->clear();
    m_password->clear();
}

void TServerSubPage::load(const shared::TMlb2 &job)
{
    m_host->setText(job.FieldByName(QStringLiteral("hostname")));
    m_port->setValue(
        shared::readInteger(QStringLiteral("port"), job.FieldByName(QStringLiteral("port"))));
    m_user->setText(job.FieldByName(QStringLiteral("username")));
    m_password->setText(job.FieldByName(QStringLiteral("password")));
}

void TServerSubPage::read(shared::JobInput &input) const
{
    input.host = m_host->text();
    input.port = m_port->value();
    input.user = m_user->text();
    input.password = m_password->text();
}

QWidget *TServerSubPage::inputFor(shared::JobInputField field) const
{
    switch (field) {
    case shared::JobInputField::Host:
        return m_host;
    case shared::JobInputField::User:
        return m_user;
    case shared::JobInputField::Password:
        return m_password;
    default:
        return nullptr;
    }
}

} // namespace norvex::config
