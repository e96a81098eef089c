#pragma once

#include "TestFiles.h"
#include "transfer/FtpCli.h"

#include <QCryptographicHash>
#include <QFile>
#include <QMap>
#include <QRandomGenerator>
#include <QString>
#include <QtTest>
#include <memory>

// The real FTP servers the fixture FtpServersStart runs (tests/servers/ftp-start.sh).
struct FtpServer
{
    QString name;
    QString port;
    QString root; // the login folder on disk
    QString user;
    QString password;
};

inline QMap<QString, QString> readFtpServersEnv()
{
    QMap<QString, QString> values;
    QFile file(qEnvironmentVariable("NORVEX_BINARY_DIR") +
               QStringLiteral("/ftp-servers/servers.env"));
    if (!file.open(QIODevice::ReadOnly))
        return values;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const qsizetype eq = line.indexOf('=');
        if (eq > 0)
            values.insert(QString::fromUtf8(line.left(eq)), QString::fromUtf8(line.mid(eq + 1)));
    }
    return values;
}

// Fails the test (never skips) when the fixture did not run.
inline FtpServer ftpServer(const QString &name)
{
    const QMap<QString, QString> env = readFtpServersEnv();
    static const QMap<QString, QString> prefixes = {
        {QStringLiteral("pyftpdlib"), QStringLiteral("PYFTPD_")},
        {QStringLiteral("pure-ftpd"), QStringLiteral("PUREFTPD_")},
        {QStringLiteral("vsftpd-tls"), QStringLiteral("FTPS_VSFTPD_")},
        {QStringLiteral("pure-ftpd-tls"), QStringLiteral("FTPS_PURE_")},
        {QStringLiteral("pyftpdlib-ipv6"), QStringLiteral("FTP6_")},
    };
    if (name == QLatin1String("vsftpd-tls-ipv6")) {
        FtpServer s = ftpServer(QStringLiteral("vsftpd-tls"));
        s.name = name;
        s.port = env.value(QStringLiteral("FTPS6_VSFTPD_PORT"));
        return s;
    }
    const QString prefix = prefixes.value(name);
    return FtpServer{name, env.value(prefix + QStringLiteral("PORT")),
                     env.value(prefix + QStringLiteral("ROOT")),
                     env.value(QStringLiteral("FTP_USER")),
                     env.value(QStringLiteral("FTP_PASSWORD"))};
}

inline void addFtpServerRows()
{
    QTest::addColumn<QString>("server");
    QTest::newRow("pyftpdlib") << QStringLiteral("pyftpdlib");
    QTest::newRow("pure-ftpd") << QStringLiteral("pure-ftpd");
}

inline std::unique_ptr<norvex::transfer::TFtpClient>
ftpClientFor(const QString &port, const QString &user = {}, const QString &password = {})
{
    auto client = std::make_unique<norvex::transfer::TFtpClient>();
    client->HostName = QStringLiteral("127.0.0.1");
    client->Port = port;
    client->UserName = user;
    client->PassWord = password;
    client->Timeout = 15;
    client->Options = norvex::transfer::ftpAcceptLF;
    return client;
}

inline QByteArray randomBytes(qsizetype size)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(data.data()), size / 4);
    for (qsizetype i = size / 4 * 4; i < size; ++i)
        data[i] = char(QRandomGenerator::global()->bounded(256));
    return data;
}

inline bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

using norvex::tests::fileHash;

// A name no other test run uses, for folders on the shared servers.
inline QString uniqueName(const QString &stem)
{
    return stem + QLatin1Char('-') + QString::number(QCoreApplication::applicationPid()) +
           QLatin1Char('-') + QString::number(QRandomGenerator::global()->generate(), 16);
}
