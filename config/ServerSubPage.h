#pragma once

#include "config/DestinationSubPage.h"

class QPushButton;

namespace norvex::config {

// What the SFTP and FTP sub-pages share: host, port, user and password with their
// captions, and the connection-check button. `kind` ("SFTP" or "FTP") makes the component
// names (EdtSFTPHost, SpnFTPPort, BotSFTPConnect ...).
class TServerSubPage : public TDestinationSubPage
{
    Q_OBJECT

public:
    void reset() override;
    void load(const shared::TMlb2 &job) override;
    // host, port, user and password.
    void read(shared::JobInput &input) const override;
    QWidget *inputFor(shared::JobInputField field) const override;

protected:
    TServerSubPage(Program &program, bool change, const QString &kind, int defaultPort,
                   QWidget *parent);
    // The check with this page's inputs; the button is disabled while it runs, since the
    // check waits on the network and a second press would start another.
    virtual void runCheck() = 0;

    QGridLayout *m_grid; // rows 0 and 1 hold the shared inputs
    QLineEdit *m_host;
    QSpinBox *m_port;
    QLineEdit *m_user;
    QLineEdit *m_password;
    QPushButton *m_check;

private:
    const int m_defaultPort;
};

} // namespace norvex::config
