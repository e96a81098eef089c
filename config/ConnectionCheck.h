#pragma once

#include "shared/JobTable.h"

#include <QString>

namespace norvex::config {

class Program;

// The editor's connection-check buttons: the missing-input message, or the check with the
// program's objects and its outcome in one message box. Questions about a server key or
// certificate that is not trusted yet go through the program's prompter.
void checkSftpConnection(Program &program, const QString &host, int port, const QString &user,
                         const QString &password, const QString &keyPath);
void checkFtpConnection(Program &program, const QString &host, int port, const QString &user,
                        const QString &password, shared::FtpDataMode mode,
                        shared::FtpSecurity security);

} // namespace norvex::config
