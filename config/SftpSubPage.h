#pragma once

#include "config/DestinationSubPage.h"

class QPushButton;

namespace norvex::config {

// The SFTP server's inputs and its connection check.
class TSftpSubPage : public TDestinationSubPage
{
    Q_OBJECT

public:
    TSftpSubPage(Program &program, bool change, QWidget *parent = nullptr);

    void reset() override;
    void load(const shared::TMlb2 &job) override;
    void write(shared::TMlb2 &job) const override;
    QString problem(QWidget **focus) const override;

private:
    void browseKey();
    void checkConnection();

    QLineEdit *m_host;
    QSpinBox *m_port;
    QLineEdit *m_user;
    QLineEdit *m_password;
    QLineEdit *m_key;
    QPushButton *m_check;
};

} // namespace norvex::config
