#pragma once

// The real NorvexService process in an installation folder of its own, for end-to-end
// tests. The destructor always ends the process, also when a test fails half-way.

#include "service/support/Jobs.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QtTest>

#include <csignal>
#include <functional>

namespace norvex::testing {

inline QString serviceExecutable()
{
    return QString::fromLocal8Bit(qgetenv("NORVEX_BINARY_DIR")) +
           QStringLiteral("/service/NorvexService");
}

// A fresh installation folder below the test's NORVEX_HOME.
inline QString makeInstallFolder(const QString &name)
{
    const QString folder =
        QString::fromLocal8Bit(qgetenv("NORVEX_HOME")) + QLatin1Char('/') + name + QLatin1Char('/');
    QDir(folder).removeRecursively();
    QDir().mkpath(folder + QStringLiteral("Log"));
    return folder;
}

// Every entry of the installation folder's log without its time stamp, "\\n" kept as
// stored.
inline QStringList entries(const QString &installFolder)
{
    QStringList out;
    for (const QString &line : logLines(installFolder))
        out << withoutStamp(line);
    return out;
}

// The entries that belong to one job: those whose text starts with its name.
inline QStringList jobEntries(const QString &installFolder, const QString &name)
{
    QStringList out;
    for (const QString &e : entries(installFolder))
        if (e.mid(2).startsWith(name + QLatin1Char(' ')))
            out << e;
    return out;
}

// A text matched literally inside a regular expression.
inline QString esc(const QString &text)
{
    return QRegularExpression::escape(text);
}

inline int countMatching(const QStringList &lines, const QString &pattern)
{
    const QRegularExpression re(pattern);
    int n = 0;
    for (const QString &line : lines)
        n += re.match(line).hasMatch();
    return n;
}

// Root reads every file whatever its mode bits, but sysctl files are checked by their
// own rules: this one is write-only for everybody, so a source list with it makes the
// archive step fail for any user.
inline const QString kUnreadable = QStringLiteral("/proc/sys/vm/drop_caches");

// The closing entry of a run of job name whose next run is next.
inline QString closingFor(const QString &name, const QString &next)
{
    return QStringLiteral("^I\\t") + esc(name) +
           QStringLiteral(" バックアップ処理を終了しました。\\tバックアップ処理時間 "
                          "\\d\\d:\\d\\d:\\d\\d\\\\n次回バックアップは ") +
           esc(next) + QStringLiteral(" です。$");
}

// The one entry (of all entries) matching pattern, or a failure naming the log.
inline bool hasOne(const QStringList &all, const QString &pattern)
{
    const int n = countMatching(all, pattern);
    if (n != 1)
        qWarning("%d entries match %s; the log:\n%s", n, qPrintable(pattern),
                 qPrintable(all.join(QLatin1Char('\n'))));
    return n == 1;
}

// The environment that runs the service with its wall clock `factor` times faster
// (tests/fakes/FastWallClock.cpp); its 10-second ticks stay real.
inline QStringList fastWallClock(int factor)
{
    return {
        QStringLiteral("LD_PRELOAD=") + QString::fromLocal8Bit(qgetenv("NORVEX_BINARY_DIR")) +
            QStringLiteral("/tests/service/e2e/FastWallClock.so"),
        QStringLiteral("FAST_WALL_CLOCK_FACTOR=%1").arg(factor),
        // A sanitizer build would refuse a library loaded ahead of its runtime.
        QString::fromLocal8Bit(qgetenv("ASAN_OPTIONS")).prepend(QStringLiteral("ASAN_OPTIONS=")) +
            QStringLiteral(":verify_asan_link_order=0")};
}

class ServiceRunner
{
public:
    explicit ServiceRunner(QString installFolder) : m_home(std::move(installFolder)) {}
    ~ServiceRunner() { kill(); }
    ServiceRunner(const ServiceRunner &) = delete;
    ServiceRunner &operator=(const ServiceRunner &) = delete;

    const QString &home() const { return m_home; }
    // A program (with its arguments) that runs the service: setpriv, a sandbox.
    void setLauncher(const QStringList &launcher) { m_launcher = launcher; }

    bool start(const QStringList &extraEnvironment = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("NORVEX_HOME"), m_home);
        env.remove(QStringLiteral("NORVEX_SERVICE_LOCK"));
        for (const QString &pair : extraEnvironment) {
            const qsizetype eq = pair.indexOf(QLatin1Char('='));
            env.insert(pair.left(eq), pair.mid(eq + 1));
        }
        m_process.setProcessEnvironment(env);
        m_process.setProcessChannelMode(QProcess::ForwardedChannels);
        if (m_launcher.isEmpty())
            m_process.start(serviceExecutable(), {});
        else
            m_process.start(m_launcher.first(), m_launcher.mid(1) << serviceExecutable());
        return m_process.waitForStarted(30000);
    }

    // SIGTERM, the stop request; true when the process ended by itself with code 0.
    bool stop(int timeoutMs = 20000)
    {
        if (m_process.state() == QProcess::NotRunning)
            return false;
        ::kill(pid_t(m_process.processId()), SIGTERM);
        const bool ended = waitForExit(timeoutMs);
        if (!ended)
            kill();
        return ended && m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
    }

    // SIGKILL: the process ends wherever it is.
    void kill()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        ::kill(pid_t(m_process.processId()), SIGKILL);
        waitForExit(60000);
    }

    bool running() const { return m_process.state() == QProcess::Running; }
    qint64 pid() const { return m_process.processId(); }

    // Polls the log (while the test's event loop runs) until condition holds.
    bool waitFor(const std::function<bool()> &condition, int timeoutMs)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (!condition()) {
            if (deadline.hasExpired())
                return false;
            QTest::qWait(200);
        }
        return true;
    }

    // Waits until at least count entries of the log match pattern.
    bool waitForEntries(const QString &pattern, int count, int timeoutMs)
    {
        return waitFor([&] { return countMatching(entries(m_home), pattern) >= count; }, timeoutMs);
    }

private:
    bool waitForExit(int timeoutMs)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (m_process.state() != QProcess::NotRunning && !deadline.hasExpired())
            m_process.waitForFinished(200);
        return m_process.state() == QProcess::NotRunning;
    }

    QString m_home;
    QStringList m_launcher;
    QProcess m_process;
};

// A job with every field the configuration program writes.
inline JobValues fullJob(const QString &name, const QStringList &sources,
                         const QString &destination, const QString &backupdt)
{
    JobValues job = localJob(name, backupdt, 1, QStringLiteral("d"));
    job[QStringLiteral("backuplist")] = shared::encodeSourceList(sources);
    job[QStringLiteral("localbackupdir")] = destination;
    job[QStringLiteral("port")] = QStringLiteral("22");
    return job;
}

} // namespace norvex::testing
