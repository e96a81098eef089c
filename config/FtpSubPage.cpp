#include "config/FtpSubPage.h"

#include "config/ConnectionCheck.h"
#include "config/Program.h"
#include "config/Prompter.h"
#include "shared/Exception.h"
#include "shared/JobRules.h"
#include "shared/JobTable.h"
#include "shared/mlb2.h"

#include <QComboBox>
#include <QGridLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>

namespace norvex::config {

using shared::FtpDataMode;
using shared::FtpSecurity;

namespace {

template <class E>
void select(QComboBox *box, E value)
{
    box->setCurrentIndex(box->findData(int(value)));
}

template <class E>
E selected(const QComboBox *box)
{
    return E(box->currentData().toInt());
}

} // namespace

TFtpSubPage::TFtpSubPage(Program &program, bool change, QWidget *parent)
    : TServerSubPage(program, change, QStringLiteral("FTP"), 21, parent)
{
    m_mode = new QComboBox(this);
    m_mode->setObjectName(name("CmbFTPMode"));
    m_mode->addItem(QStringLiteral("パッシブ"), int(FtpDataMode::Passive));
    m_mode->addItem(QStringLiteral("アクティブ"), int(FtpDataMode::Active));
    m_security = new QComboBox(this);
    m_security->setObjectName(name("CmbFTPSecurity"));
    m_security->addItem(QStringLiteral("なし"), int(FtpSecurity::None));
    m_security->addItem(QStringLiteral("明示的 TLS (FTPS)"), int(FtpSecurity::ExplicitTls));
    addRow(m_grid, 2, 0, QStringLiteral("接続モード"), m_mode);
    addRow(m_grid, 2, 2, QStringLiteral("暗号化"), m_security);
    // The mode's choice stays as narrow as its texts; the host column stretches instead.
    m_grid->setAlignment(m_mode, Qt::AlignLeft);
    m_grid->addWidget(m_check, 3, 3, Qt::AlignRight);
    m_grid->setRowStretch(4, 1);
    setTabOrder(m_password, m_mode);
    setTabOrder(m_mode, m_security);
    setTabOrder(m_security, m_check);
    reset();
}

void TFtpSubPage::reset()
{
    TServerSubPage::reset();
    select(m_mode, FtpDataMode::Passive);
    select(m_security, FtpSecurity::None);
}

void TFtpSubPage::load(const shared::TMlb2 &job)
{
    TServerSubPage::load(job);
    QStringList unknown;
    const auto show = [&](QComboBox *box, const char *field, auto read, auto safe,
                          const QString &caption) {
        const QString text = job.FieldByName(QLatin1String(field));
        try {
            select(box, read(text));
        } catch (const shared::EConvertError &) {
            select(box, safe);
            unknown << QStringLiteral("%1 %2 「%3」 は読めないため、%4としました。")
                           .arg(caption, QLatin1String(field), text, box->currentText());
        }
    };
    show(m_mode, shared::FtpModeField, shared::readFtpMode, FtpDataMode::Passive,
         QStringLiteral("接続モード"));
    show(m_security, shared::FtpSecurityField, shared::readFtpSecurity, FtpSecurity::ExplicitTls,
         QStringLiteral("暗号化"));
    if (!unknown.isEmpty())
        m_program.prompter().message(unknown.join(QStringLiteral("\r\n")), Prompter::Kind::Warning);
}

void TFtpSubPage::read(shared::JobInput &input) const
{
    TServerSubPage::read(input);
    input.ftpMode = selected<FtpDataMode>(m_mode);
    input.ftpSecurity = selected<FtpSecurity>(m_security);
}

void TFtpSubPage::runCheck()
{
    checkFtpConnection(m_program, m_host->text(), m_port->value(), m_user->text(),
                       m_password->text(), selected<FtpDataMode>(m_mode),
                       selected<FtpSecurity>(m_security));
}

} // namespace norvex::config
