#pragma once

#include <QProcess>
#include <QString>
#include <QtTest>

// Runs one of the fault-producing servers of tests/fakes/ftp_fakes.py on 127.0.0.1 for the
// lifetime of the object.
class FakeFtpServer
{
public:
    explicit FakeFtpServer(const QString &name, const QStringList &arguments = {})
    {
        const QString script =
            qEnvironmentVariable("NORVEX_SOURCE_DIR") + QStringLiteral("/tests/fakes/ftp_fakes.py");
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QStringLiteral("/usr/bin/python3"), QStringList{script, name} + arguments);
        if (!m_process.waitForStarted(30000))
            return;
        while (m_process.canReadLine() || m_process.waitForReadyRead(30000)) {
            const QByteArray line = m_process.readLine().trimmed();
            if (line.startsWith("PORT ")) {
                m_port = QString::fromLatin1(line.mid(5));
                return;
            }
        }
    }

    ~FakeFtpServer()
    {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(3000)) {
            m_process.kill();
            m_process.waitForFinished(3000);
        }
    }

    // Empty when the server did not start.
    QString port() const { return m_port; }

private:
    QProcess m_process;
    QString m_port;
};
