#pragma once

#include "shared/JobTable.h"

#include <QString>

namespace norvex::transfer {
class TFtpClient;
class TSshKey;
class TSshSFtp;
struct TFtpCertificate;
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
// With TLS, a certificate that is not trusted yet fails the test and is handed back in
// `untrusted` (when given) for the caller to ask about.
QString ftpConnectionTest(transfer::TFtpClient &ftp, const QString &host, int port,
                          const QString &user, const QString &password, shared::FtpDataMode mode,
                          shared::FtpSecurity security,
                          transfer::TFtpCertificate *untrusted = nullptr);

// The buttons: the missing-input message, or the test with the program's objects and its
// outcome in one message box (an error a component raises is shown as its message).
// A server key or certificate that is not trusted yet is shown and the user asked; on yes it
// is recorded where the service looks for it (known_hosts, known_certs) and the test runs
// once more. A changed one is asked about twice before it replaces the recorded one.
void checkSftpConnection(Program &program, const QString &host, int port, const QString &user,
                         const QString &password, const QString &keyPath);
void checkFtpConnection(Program &program, const QString &host, int port, const QString &user,
                        const QString &password, shared::FtpDataMode mode,
                        shared::FtpSecurity security);

} // namespace norvex::config
