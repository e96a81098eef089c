#pragma once

// A session bus of the test's own: the real dbus-daemon, listening in a temporary folder,
// with no service files (nothing is activated). Ended by the destructor.

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

namespace norvex::testing {

class PrivateSessionBus
{
public:
    PrivateSessionBus() = default;
    ~PrivateSessionBus() { stop(); }
    PrivateSessionBus(const PrivateSessionBus &) = delete;
    PrivateSessionBus &operator=(const PrivateSessionBus &) = delete;

    // Starts the daemon; false (with why in error()) when it cannot.
    bool start()
    {
        const QString config = m_dir.path() + QStringLiteral("/bus.conf");
        QFile file(config);
        if (!file.open(QIODevice::WriteOnly))
            return fail(QStringLiteral("cannot write ") + config);
        file.write("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
                   "1.0//EN\" \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                   "<busconfig>\n  <type>session</type>\n  <listen>unix:dir=" +
                   QFile::encodeName(m_dir.path()) +
                   "</listen>\n  <auth>EXTERNAL</auth>\n"
                   "  <policy context=\"default\">\n"
                   "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                   "    <allow eavesdrop=\"true\"/>\n    <allow own=\"*\"/>\n"
                   "  </policy>\n</busconfig>\n");
        file.close();
        m_daemon.start(QStringLiteral("dbus-daemon"),
                       {QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
                        QStringLiteral("--print-address=1")});
        if (!m_daemon.waitForStarted(30000))
            return fail(QStringLiteral("dbus-daemon (package dbus-daemon) is needed: ") +
                        m_daemon.errorString());
        while (!m_daemon.canReadLine()) {
            if (!m_daemon.waitForReadyRead(30000))
                return fail(QStringLiteral("dbus-daemon printed no address: ") +
                            QString::fromLocal8Bit(m_daemon.readAllStandardError()));
        }
        m_address = QString::fromLocal8Bit(m_daemon.readLine()).trimmed();
        return true;
    }

    void stop()
    {
        if (m_daemon.state() == QProcess::NotRunning)
            return;
        m_daemon.terminate();
        if (!m_daemon.waitForFinished(10000)) {
            m_daemon.kill();
            m_daemon.waitForFinished(10000);
        }
    }

    const QString &address() const { return m_address; }
    const QString &error() const { return m_error; }

private:
    bool fail(const QString &why)
    {
        m_error = why;
        return false;
    }

    QTemporaryDir m_dir;
    QProcess m_daemon;
    QString m_address;
    QString m_error;
};

} // namespace norvex::testing
