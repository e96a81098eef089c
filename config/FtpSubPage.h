#pragma once

#include "config/ServerSubPage.h"

class QComboBox;

namespace norvex::config {

// The FTP server's inputs, the connection mode and the encryption, and the connection
// check. keyfile belongs to SFTP and is left as it is.
class TFtpSubPage : public TServerSubPage
{
    Q_OBJECT

public:
    TFtpSubPage(Program &program, bool change, QWidget *parent = nullptr);

    // A new job: passive, no encryption.
    void reset() override;
    // A job stored without the fields: active, no encryption (as it always ran). A text no
    // choice stands for is shown as the safer choice and the user told: passive, and TLS, so
    // that saving the job can never turn its encryption off.
    void load(const shared::TMlb2 &job) override;
    // Also the connection mode and the security.
    void read(shared::JobInput &input) const override;

private:
    void runCheck() override;

    QComboBox *m_mode;
    QComboBox *m_security;
};

} // namespace norvex::config
