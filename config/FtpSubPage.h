#pragma once

#include "config/ServerSubPage.h"

namespace norvex::config {

// The FTP server's inputs and its connection check. keyfile belongs to SFTP and is left as
// it is.
class TFtpSubPage : public TServerSubPage
{
    Q_OBJECT

public:
    TFtpSubPage(Program &program, bool change, QWidget *parent = nullptr);

private:
    void runCheck() override;
};

} // namespace norvex::config
