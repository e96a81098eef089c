#pragma once

#include "config/ServerSubPage.h"

namespace norvex::config {

// The SFTP server's inputs, the private key with its browse button, and the connection
// check.
class TSftpSubPage : public TServerSubPage
{
    Q_OBJECT

public:
    TSftpSubPage(Program &program, bool change, QWidget *parent = nullptr);

    void reset() override;
    void load(const shared::TMlb2 &job) override;
    void read(shared::JobInput &input) const override;

private:
    void browseKey();
    void runCheck() override;

    QLineEdit *m_key;
};

} // namespace norvex::config
