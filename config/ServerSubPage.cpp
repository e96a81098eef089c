#include "config/ServerSubPage.h"

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

void TServerSubPage::write(shared::TMlb2 &job) const
{
    job.SetFieldByName(QStringLiteral("hostname"), m_host->text());
    job.SetFieldByName(QStringLiteral("port"), QString::number(m_port->value()));
    job.SetFieldByName(QStringLiteral("username"), m_user->text());
    job.SetFieldByName(QStringLiteral("password"), m_password->text());
}

QString TServerSubPage::problem(QWidget **focus) const
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

} // namespace norvex::config
