#include "config/ConnectionCheck.h"

#include "config/Program.h"
#include "config/Prompter.h"
#include "transfer/ConnectionCheck.h"

namespace norvex::config {

namespace {

bool inputMissing(Program &program, const QString &host, const QString &user,
                  const QString &password)
{
    const QString missing = transfer::connectionInputMissing(host, user, password);
    if (missing.isEmpty())
        return false;
    program.prompter().message(missing, Prompter::Kind::Warning);
    return true;
}

transfer::TrustQuestion asker(Program &program)
{
    return [&program](const QString &text, bool warning) {
        return program.prompter().question(text, warning ? Prompter::Kind::Warning
                                                         : Prompter::Kind::Information);
    };
}

void show(Program &program, const QString &error)
{
    if (error.isEmpty())
        program.prompter().message(transfer::connectionSuccessText());
    else
        program.prompter().message(error, Prompter::Kind::Error);
}

} // namespace

void checkSftpConnection(Program &program, const QString &host, int port, const QString &user,
                         const QString &password, const QString &keyPath)
{
    if (inputMissing(program, host, user, password))
        return;
    show(program,
         transfer::checkSftpLogin(program.sftp(), program.sshKey(), program.installFolder(), host,
                                  port, user, password, keyPath, asker(program)));
}

void checkFtpConnection(Program &program, const QString &host, int port, const QString &user,
                        const QString &password, shared::FtpDataMode mode,
                        shared::FtpSecurity security)
{
    if (inputMissing(program, host, user, password))
        return;
    show(program, transfer::checkFtpLogin(program.ftp(), program.installFolder(), host, port, user,
                                          password, mode, security, asker(program)));
}

} // namespace norvex::config
