#pragma once

#include "shared/JobTable.h"

#include <QString>

#include <functional>

namespace norvex::transfer {

class TFtpClient;
class TSshKey;
class TSshSFtp;
struct TFtpCertificate;

// The login tests behind the editor's connection-check buttons and `norvexctl check`. Nothing is
// stored or sent beyond the login. Each returns the error text; empty means the login succeeded.
//
// With a key path the key alone is used; the password is never the key's passphrase.
QString sftpConnectionTest(TSshSFtp &sftp, TSshKey &key, const QString &host, int port,
                           const QString &user, const QString &keyPath, const QString &password);
// With TLS, a certificate that is not trusted yet fails the test and is handed back in
// `untrusted` (when given) for the caller to ask about.
QString ftpConnectionTest(TFtpClient &ftp, const QString &host, int port, const QString &user,
                          const QString &password, shared::FtpDataMode mode,
                          shared::FtpSecurity security, TFtpCertificate *untrusted = nullptr);

// A question to a person before a server's key or certificate is trusted; lines are broken
// by CR LF. `warning`: the question is about a changed key and names the risk. True only for
// yes; whoever cannot ask answers no.
using TrustQuestion = std::function<bool(const QString &text, bool warning)>;

// "ホスト名、ユーザ名、パスワードが正常に入力されていません。" when one of them is empty.
QString connectionInputMissing(const QString &host, const QString &user, const QString &password);
// "接続成功しました。"
QString connectionSuccessText();

// The whole check: the login test, with the installation folder's known_hosts or known_certs
// (where the service looks). A server key or certificate that is not trusted yet is shown
// through `ask`; on yes it is recorded and the test runs once more. A changed one is asked
// about twice before it replaces the recorded one. The error text (an error a component
// raises becomes its message); empty when the login succeeded.
QString checkSftpLogin(TSshSFtp &sftp, TSshKey &key, const QString &installFolder,
                       const QString &host, int port, const QString &user, const QString &password,
                       const QString &keyPath, const TrustQuestion &ask);
QString checkFtpLogin(TFtpClient &ftp, const QString &installFolder, const QString &host, int port,
                      const QString &user, const QString &password, shared::FtpDataMode mode,
                      shared::FtpSecurity security, const TrustQuestion &ask);

} // namespace norvex::transfer
