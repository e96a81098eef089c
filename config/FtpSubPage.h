#pragma once

#include "config/DestinationSubPage.h"

class QPushButton;

namespace norvex::config {

// The FTP server's inputs and its connection check.
class TFtpSubPage : public TDestinationSubPage
{
    Q_OBJECT

public:
    TFtpSubPage(Program &program, bool change, QWidget *parent = nullptr);

    void reset() override;
    void load(const shared::TMlb2 &job) override;
    // keyfile belongs to SFTP and is left as it is.
    void write(shared::TMlb2 &job) const override;
    QString problem(QWidget **focus) const override;

private:
    void checkConnection();

    QLineEdit *m_host;
    QSpinBox *m_port;
    QLineEdit *m_user;
    QLineEdit *m_password;
    QPushButton *m_check;
};

} // namespace norvex::config
