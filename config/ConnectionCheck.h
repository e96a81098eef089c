#pragma once

#include <QString>

namespace norvex::transfer {
class TFtpClient;
class TSshKey;
class TSshSFtp;
} // namespace norvex::transfer

namespace norvex::config {

class Program;

// The login tests behind the editor's connection-check buttons. Nothing is stored or sent
// beyond the login. Each returns the error text; empty means the login succeeded.
//
// With a key path the key alone is used; the password is never the key's passphrase.
QString sftpConnectionTest(transfer::TSshSFtp &sftp, transfer::TSshKey &key, const QString &host,
                           int port, const QString &user, const QString &keyPath,
                           const QString &password);
QString ftpConnectionTest(transfer::TFtpClient &ftp, const QString &host, int port,
                          const QString &user, const QString &password);

// The buttons: the missing-input message, or the test with the program's objects and its
// outcome in one message box (an error a component raises is shown as its message). The
// SFTP check records the host key in the same known_hosts as the service.
void checkSftpConnection(Program &program, const QString &host, int port, const QString &user,
                         const QString &password, const QString &keyPath);
void checkFtpConnection(Program &program, const QString &host, int port, const QString &user,
                        const QString &password);

} // namespace norvex::config
