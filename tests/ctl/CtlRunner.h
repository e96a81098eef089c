#pragma once

// norvexctl run as a process on an installation folder of the test's own, with a private
// registry of the built-in service manager, so no service of the machine is asked.

#include <QByteArray>
#include <QDir>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

namespace norvex::testing {

struct CtlResult
{
    int code = -1;
    QString out;
    QString err;
};

inline QString ctlExecutable()
{
    return qEnvironmentVariable("NORVEX_BINARY_DIR") + QStringLiteral("/ctl/norvexctl");
}

inline QProcessEnvironment ctlEnvironment(const QString &home)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("NORVEX_HOME"), home);
    env.insert(QStringLiteral("NORVEX_SERVICE_MANAGER"), QStringLiteral("builtin"));
    env.insert(QStringLiteral("NORVEX_SERVICE_REGISTRY"), home + QStringLiteral("registry"));
    return env;
}

// Runs norvexctl to its end (at most `timeoutMs`) with `input` on its standard input.
inline CtlResult ctl(const QString &home, const QStringList &arguments,
                     const QByteArray &input = {}, int timeoutMs = 120000)
{
    QProcess process;
    process.setProcessEnvironment(ctlEnvironment(home));
    process.start(ctlExecutable(), arguments);
    if (!process.waitForStarted(30000))
        return {};
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(10000);
        return {};
    }
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

// A fresh installation folder below the test's NORVEX_HOME.
inline QString ctlHome(const QString &name)
{
    const QString folder =
        qEnvironmentVariable("NORVEX_HOME") + QLatin1Char('/') + name + QLatin1Char('/');
    QDir(folder).removeRecursively();
    QDir().mkpath(folder + QStringLiteral("Log"));
    QDir().mkpath(folder + QStringLiteral("registry"));
    return folder;
}

} // namespace norvex::testing
