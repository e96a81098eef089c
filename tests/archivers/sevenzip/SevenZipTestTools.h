#pragma once

// Runs the 7-Zip command line, the independent reader of the archives under test.

#include <QByteArray>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QtTest>

namespace sevenziptest {

struct Run
{
    int exitCode = -1;
    QByteArray output;
};

inline QString sevenZipCli()
{
    return QStandardPaths::findExecutable(QStringLiteral("7z"));
}

// stdin is empty, so a password prompt reads an empty password instead of hanging.
inline Run run7z(const QStringList &args, const QString &workingDir = QString())
{
    Run r;
    const QString exe = sevenZipCli();
    if (exe.isEmpty()) {
        r.output = "7z not found";
        return r;
    }
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.setStandardInputFile(QProcess::nullDevice());
    if (!workingDir.isEmpty())
        p.setWorkingDirectory(workingDir);
    p.start(exe, args);
    if (!p.waitForFinished(120000)) {
        p.kill();
        p.waitForFinished();
        r.output = "7z timed out";
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.output = p.readAll();
    return r;
}

// The item paths of an archive as `7z l -slt` lists them, in archive order.
inline QStringList listPaths(const QString &archive, const QString &password = QString())
{
    QStringList args{QStringLiteral("l"), QStringLiteral("-slt")};
    if (!password.isEmpty())
        args << QStringLiteral("-p") + password;
    args << archive;
    const Run r = run7z(args);
    QStringList paths;
    if (r.exitCode != 0)
        return {QStringLiteral("<7z l failed: %1>").arg(QString::fromUtf8(r.output))};
    const QStringList lines = QString::fromUtf8(r.output).split(QLatin1Char('\n'));
    bool inItems = false;
    for (QString line : lines) {
        line = line.trimmed();
        if (line.startsWith(QLatin1String("----------")))
            inItems = true;
        else if (inItems && line.startsWith(QLatin1String("Path = ")))
            paths << line.mid(7);
    }
    return paths;
}

} // namespace sevenziptest

#define VERIFY_7Z(run, expectedCode)                                                               \
    do {                                                                                           \
        const auto &r_ = (run);                                                                    \
        QVERIFY2(!sevenziptest::sevenZipCli().isEmpty(), "the 7z command line is not installed");  \
        QVERIFY2(r_.exitCode == (expectedCode), r_.output.constData());                            \
    } while (false)
