#pragma once

// What the SFTP tests know about the sshd that tests/servers/sshd-start.sh started, and
// helpers that make it misbehave the way a real server can (stall, die).

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QRandomGenerator>
#include <QString>
#include <QTest>
#include <QThread>
#include <cerrno>
#include <csignal>
#include <sys/types.h>

namespace sftptest {

struct Sshd
{
    bool ok = false;
    int port = 0;
    int kbdPort = 0;      // a second server: passwords only as keyboard-interactive (PAM)
    int fakeSftpPort = 0; // the main server, running tests/fakes/misbehaving_sftp.py
    int rekeyPort = 0;    // the main server, renewing its keys after every MiB
    bool ipv6 = false;    // the main server listens on ::1 too
    QString user, password, home, keys, hostKeySha256;
    pid_t pid = 0;

    QString key(const QString &name) const { return keys + QLatin1Char('/') + name; }
    QString remote(const QString &relative) const { return home + QLatin1Char('/') + relative; }
};

// Reads the server's sshd.env; fails the test when the fixture did not run.
inline Sshd sshd()
{
    Sshd s;
    QFile env(qEnvironmentVariable("NORVEX_BINARY_DIR") + QStringLiteral("/sshd-sftp/sshd.env"));
    if (!env.open(QIODevice::ReadOnly))
        return s;
    QHash<QString, QString> v;
    while (!env.atEnd()) {
        QString line = QString::fromUtf8(env.readLine()).trimmed();
        qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq > 0)
            v.insert(line.left(eq), line.mid(eq + 1));
    }
    s.port = v.value(QStringLiteral("SSHD_PORT")).toInt();
    s.kbdPort = v.value(QStringLiteral("SSHD_KBD_PORT")).toInt();
    s.fakeSftpPort = v.value(QStringLiteral("SSHD_FAKE_SFTP_PORT")).toInt();
    s.rekeyPort = v.value(QStringLiteral("SSHD_REKEY_PORT")).toInt();
    s.user = v.value(QStringLiteral("SSHD_USER"));
    s.password = v.value(QStringLiteral("SSHD_PASSWORD"));
    s.home = v.value(QStringLiteral("SSHD_HOME"));
    s.keys = v.value(QStringLiteral("SSHD_KEYS"));
    s.hostKeySha256 = v.value(QStringLiteral("SSHD_HOSTKEY_ED25519_SHA256"));
    s.pid = pid_t(v.value(QStringLiteral("SSHD_PID")).toInt());
    s.ipv6 = v.value(QStringLiteral("SSHD_IPV6")) == QLatin1String("1");
    // The server runs as root: a contributor may see it but not signal it.
    s.ok =
        s.port > 0 && !s.user.isEmpty() && s.pid > 0 && (::kill(s.pid, 0) == 0 || errno == EPERM);
    return s;
}

#define REQUIRE_SSHD(s)                                                                            \
    const sftptest::Sshd s = sftptest::sshd();                                                     \
    if (!s.ok)                                                                                     \
        QFAIL("the sshd fixture is not running (tests/servers/sshd-start.sh)");

// Session processes of the server: every descendant of the listening sshd.
inline QList<pid_t> sessionProcesses(pid_t root)
{
    QHash<pid_t, pid_t> parent;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &e : entries) {
        bool isPid = false;
        pid_t p = pid_t(e.toInt(&isPid));
        if (!isPid)
            continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(p));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        QByteArray text = stat.readAll();
        qsizetype close = text.lastIndexOf(')');
        QList<QByteArray> fields = text.mid(close + 2).split(' ');
        if (fields.size() > 1)
            parent.insert(p, pid_t(fields[1].toInt()));
    }
    QList<pid_t> found;
    for (auto it = parent.cbegin(); it != parent.cend(); ++it) {
        pid_t q = it.value();
        int depth = 0;
        while (q > 1 && q != root && depth++ < 64)
            q = parent.value(q, 0);
        if (q == root)
            found << it.key();
    }
    return found;
}

inline void signalSessions(pid_t root, int sig)
{
    const QList<pid_t> pids = sessionProcesses(root);
    for (pid_t p : pids)
        ::kill(p, sig);
}

// Waits (in another thread) until a remote file has grown past some bytes, then signals
// the server's session processes: the upload is cut in the middle.
class CutWhenGrown : public QThread
{
public:
    CutWhenGrown(pid_t root, QString file, qint64 bytes, int sig)
        : m_root(root), m_file(std::move(file)), m_bytes(bytes), m_sig(sig)
    {
    }
    bool fired() const { return m_fired; }
    qint64 firedAtMs = 0;

protected:
    void run() override
    {
        for (int i = 0; i < 60000 && !m_fired; ++i) {
            if (QFileInfo(m_file).size() >= m_bytes) {
                signalSessions(m_root, m_sig);
                m_fired = true;
                return;
            }
            QThread::usleep(500);
        }
    }

private:
    pid_t m_root;
    QString m_file;
    qint64 m_bytes;
    int m_sig;
    std::atomic<bool> m_fired{false};
};

inline QByteArray randomBytes(qsizetype n)
{
    QByteArray b(n, Qt::Uninitialized);
    QRandomGenerator gen(n);
    for (qsizetype i = 0; i + 4 <= n; i += 4) {
        quint32 v = gen.generate();
        memcpy(b.data() + i, &v, 4);
    }
    for (qsizetype i = n - n % 4; i < n; ++i)
        b[i] = char(gen.generate());
    return b;
}

inline bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}

inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// "SHA256:..." of a public key file, as ssh-keygen -l prints it; empty when it cannot.
inline QString keyFingerprint(const QString &publicKeyFile)
{
    QProcess fp;
    fp.start(QStringLiteral("ssh-keygen"),
             {QStringLiteral("-l"), QStringLiteral("-E"), QStringLiteral("sha256"),
              QStringLiteral("-f"), publicKeyFile});
    if (!fp.waitForFinished(10000))
        return {};
    return QString::fromLatin1(fp.readAllStandardOutput().split(' ').value(1));
}

// A fresh folder in the test user's home (owned by that user) for one test's files.
inline QString freshRemoteFolder(const Sshd &s, const QString &name)
{
    QDir(s.remote(name)).removeRecursively();
    QDir().mkpath(s.remote(name));
    QFile::setPermissions(s.remote(name), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                              QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                              QFileDevice::WriteOther | QFileDevice::ExeOther);
    return name;
}

} // namespace sftptest
