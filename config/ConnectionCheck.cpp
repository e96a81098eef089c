#include "config/ConnectionCheck.h"

#include "config/Program.h"
#include "config/Prompter.h"
#include "shared/Exception.h"
#include "transfer/FtpCli.h"
#include "transfer/SshKey.h"
#include "transfer/SshSFtp.h"

#include <functional>

namespace norvex::config {

namespace {

const QString kSeparator = QStringLiteral(" : \r\n");

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

bool inputMissing(Program &program, const QString &host, const QString &user,
                  const QString &password)
{
    if (!host.isEmpty() && !user.isEmpty() && !password.isEmpty())
        return false;
    program.prompter().message(
        QStringLiteral("ホスト名、ユーザ名、パスワードが正常に入力されていません。"),
        Prompter::Kind::Warning);
    return true;
}

void runTest(Program &program, const std::function<QString()> &test)
{
    QString error;
    try {
        error = test();
    } catch (const shared::Exception &e) {
        error = e.message();
    } catch (const std::exception &e) {
        error = QString::fromLocal8Bit(e.what());
    }
    if (error.isEmpty())
        program.prompter().message(QStringLiteral("接続成功しました。"));
    else
        program.prompter().message(error, Prompter::Kind::Error);
}

} // namespace

QString sftpConnectionTest(transfer::TSshSFtp &sftp, transfer::TSshKey &key, const QString &host,
                           int port, const QString &user, const QString &keyPath,
                           const QString &password)
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

QString ftpConnectionTest(transfer::TFtpClient &ftp, const QString &host, int port,
                          const QString &user, const QString &password)
{
    ftp.Abort();
    AtExit abort([&ftp] { ftp.Abort(); });
    ftp.HostName = host;
    ftp.UserName = user;
    ftp.PassWord = password;
    ftp.Port = QString::number(port);
    if (ftp.Open() && ftp.User() && ftp.Pass())
        return {};
    return QStringLiteral("Openエラー") + kSeparator + ftp.ErrorMessage();
}

void checkSftpConnection(Program &program, const QString &host, int port, const QString &user,
                         const QString &password, const QString &keyPath)
{
    if (inputMissing(program, host, user, password))
        return;
    runTest(program, [&] {
        transfer::TSshSFtp &sftp = program.sftp();
        // The service trusts what this check recorded, so both use one file.
        sftp.setKnownHostsFile(program.installFolder() + QStringLiteral("known_hosts"));
        return sftpConnectionTest(sftp, program.sshKey(), host, port, user, keyPath, password);
    });
}

void checkFtpConnection(Program &program, const QString &host, int port, const QString &user,
                        const QString &password)
{
    if (inputMissing(program, host, user, password))
        return;
    runTest(program, [&] { return ftpConnectionTest(program.ftp(), host, port, user, password); });
}

} // namespace norvex::config
