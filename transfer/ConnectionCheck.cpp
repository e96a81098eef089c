#include "transfer/ConnectionCheck.h"

#include "shared/Exception.h"
#include "transfer/CertTrust.h"
#include "transfer/FtpCli.h"
#include "transfer/SshKey.h"
#include "transfer/SshSFtp.h"
#include "transfer/WSocket.h"

#include <QStringList>
#include <functional>

namespace norvex::transfer {

namespace {

const QString kSeparator = QStringLiteral(" : \r\n");
const QString kColon = QStringLiteral(" : ");

// Drops the connection also when a component raises half-way.
class AtExit
{
public:
    explicit AtExit(std::function<void()> action) : m_action(std::move(action)) {}
    ~AtExit()
    {
        // Cleanup of a connection that is gone anyway; the test's own outcome counts.
        try {
            m_action();
        } catch (...) {
        }
    }
    AtExit(const AtExit &) = delete;
    AtExit &operator=(const AtExit &) = delete;

private:
    std::function<void()> m_action;
};

// What a person decides on before a server's key or certificate is trusted.
struct Trust
{
    QString unknownIntro; // the first line for a server not seen before
    QString thing;        // what is replaced when it changed
    QStringList lines;    // the server and what identifies the key, "label : value"
    QString label;        // the label of the presented and the recorded value
    QString presented;
    QStringList recorded; // empty for a server not seen before
};

// One question for a server not seen before. A changed key or certificate may mean that
// someone sits between us and the server: two questions, the second naming that risk.
bool userTrusts(const TrustQuestion &ask, const Trust &q)
{
    const QString crlf = QStringLiteral("\r\n");
    const QString server = q.lines.join(crlf) + crlf;
    if (q.recorded.isEmpty())
        return ask(q.unknownIntro + crlf + server + q.label + kColon + q.presented + crlf + crlf +
                       QStringLiteral("この%1を信頼して登録しますか？").arg(q.thing),
                   false);
    if (!ask(QStringLiteral("%1が登録済みのものと異なります。").arg(q.thing) + crlf + server +
                 QStringLiteral("今回の") + q.label + kColon + q.presented + crlf +
                 QStringLiteral("登録済みの") + q.label + kColon +
                 q.recorded.join(crlf + QStringLiteral("　　")) + crlf + crlf +
                 QStringLiteral("登録済みの%1を置き換えますか？").arg(q.thing),
             true))
        return false;
    return ask(
        QStringLiteral("第三者が通信を傍受している可能性があります。") + crlf +
            QStringLiteral("サーバの管理者に%1の変更を確認できない場合は、置き換えないでください。")
                .arg(q.thing) +
            crlf + crlf + QStringLiteral("本当に置き換えますか？"),
        true);
}

QString runTest(const std::function<QString()> &test)
{
    try {
        return test();
    } catch (const shared::Exception &e) {
        return e.message();
    } catch (const std::exception &e) {
        return QString::fromLocal8Bit(e.what());
    }
}

} // namespace

QString sftpConnectionTest(TSshSFtp &sftp, TSshKey &key, const QString &host, int port,
                           const QString &user, const QString &keyPath, const QString &password)
{
    sftp.Disconnect();
    AtExit disconnect([&sftp] { sftp.Disconnect(); });
    sftp.setConnectTimeoutMs(5000);
    sftp.setIdleTimeoutMs(10000);
    if (sftp.Connect(host, port) != 1)
        return QStringLiteral("Connectエラー") + kSeparator + sftp.ErrorText();
    if (!keyPath.isEmpty()) {
        const QString keyText = key.ReadKeyFile(keyPath);
        if (keyText.isEmpty())
            return QStringLiteral("KeyLoadエラー") + kSeparator + key.KeyErrorText();
        if (key.LoadKey(keyText) != 1)
            return QStringLiteral("KeyOpenエラー") + kSeparator + key.KeyErrorText();
        if (sftp.AuthenticateKey(user, key) != 1)
            return QStringLiteral("認証エラー") + kSeparator + sftp.ErrorText();
        return {};
    }
    if (sftp.AuthenticatePassword(user, password) != 1)
        return QStringLiteral("認証エラー") + kSeparator + sftp.ErrorText();
    return {};
}

QString ftpConnectionTest(TFtpClient &ftp, const QString &host, int port, const QString &user,
                          const QString &password, shared::FtpDataMode mode,
                          shared::FtpSecurity security, TFtpCertificate *untrusted)
{
    ftp.Abort();
    AtExit abort([&ftp] { ftp.Abort(); });
    ftp.HostName = host;
    ftp.UserName = user;
    ftp.PassWord = password;
    ftp.Port = QString::number(port);
    ftp.DataMode = mode;
    ftp.Security = security;
    // A person decides here; the service trusts on first use.
    ftp.AskBeforeTrusting = security == shared::FtpSecurity::ExplicitTls;
    if (!ftp.Open()) {
        if (untrusted)
            *untrusted = ftp.PendingCertificate();
    } else if (ftp.User() && ftp.Pass()) {
        return {};
    }
    return QStringLiteral("Openエラー") + kSeparator + ftp.ErrorMessage();
}

QString connectionInputMissing(const QString &host, const QString &user, const QString &password)
{
    if (!host.isEmpty() && !user.isEmpty() && !password.isEmpty())
        return {};
    return QStringLiteral("ホスト名、ユーザ名、パスワードが正常に入力されていません。");
}

QString connectionSuccessText()
{
    return QStringLiteral("接続成功しました。");
}

QString checkSftpLogin(TSshSFtp &sftp, TSshKey &key, const QString &installFolder,
                       const QString &host, int port, const QString &user, const QString &password,
                       const QString &keyPath, const TrustQuestion &ask)
{
    return runTest([&] {
        // The service trusts what this check recorded, so both use one file.
        sftp.setKnownHostsFile(installFolder + QStringLiteral("known_hosts"));
        sftp.setAskBeforeTrusting(true);
        const auto test = [&] {
            return sftpConnectionTest(sftp, key, host, port, user, keyPath, password);
        };
        const QString error = test();
        const TSshHostKey hostKey = sftp.PendingHostKey();
        if (hostKey.isEmpty() ||
            !userTrusts(ask, {QStringLiteral("接続先のホスト鍵はまだ登録されていません。"),
                              QStringLiteral("ホスト鍵"),
                              {QStringLiteral("ホスト") + kColon + WSocketHostPort(host, port)},
                              QStringLiteral("ホスト鍵"),
                              hostKey.presented,
                              hostKey.recorded}))
            return error;
        if (sftp.TrustHostKey(hostKey) != 1)
            return QStringLiteral("Connectエラー") + kSeparator + sftp.ErrorText();
        return test();
    });
}

QString checkFtpLogin(TFtpClient &ftp, const QString &installFolder, const QString &host, int port,
                      const QString &user, const QString &password, shared::FtpDataMode mode,
                      shared::FtpSecurity security, const TrustQuestion &ask)
{
    return runTest([&] {
        ftp.KnownCertsFile = installFolder + QStringLiteral("known_certs");
        const auto test = [&](TFtpCertificate *untrusted) {
            return ftpConnectionTest(ftp, host, port, user, password, mode, security, untrusted);
        };
        TFtpCertificate cert;
        const QString error = test(&cert);
        if (cert.isEmpty())
            return error;
        QStringList lines = {QStringLiteral("ホスト") + kColon + WSocketHostPort(host, port),
                             QStringLiteral("発行先") + kColon + cert.subject};
        if (!cert.verifyError.isEmpty())
            lines << QStringLiteral("理由") + kColon + cert.verifyError;
        QStringList recorded;
        if (!cert.recorded.isEmpty())
            recorded << cert.recorded;
        if (!userTrusts(ask, {QStringLiteral("接続先のサーバ証明書を検証できませんでした。"),
                              QStringLiteral("サーバ証明書"), lines,
                              QStringLiteral("フィンガープリント"), cert.fingerprint, recorded}))
            return error;
        QString why;
        if (!recordCertificate(ftp.KnownCertsFile, host, port, cert.fingerprint, &why))
            return QStringLiteral("Openエラー") + kSeparator + why;
        return test(nullptr);
    });
}

} // namespace norvex::transfer
