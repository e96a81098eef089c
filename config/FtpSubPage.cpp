#include "config/FtpSubPage.h"

#include "config/ConnectionCheck.h"

#include <QGridLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>

namespace norvex::config {

TFtpSubPage::TFtpSubPage(Program &program, bool change, QWidget *parent)
    : TServerSubPage(program, change, QStringLiteral("FTP"), 21, parent)
{
    m_grid->addWidget(m_check, 2, 3, Qt::AlignRight);
    m_grid->setRowStretch(3, 1);
}

void TFtpSubPage::runCheck()
{
    checkFtpConnection(m_program, m_host->text(), m_port->value(), m_user->text(),
                       m_password->text());
}

} // namespace norvex::config
