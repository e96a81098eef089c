// Replacing a server's recorded host key in a known_hosts file, checked with OpenSSH's own
// ssh-keygen where it reads the file.
#include "transfer/SftpKnownHosts.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <sys/stat.h>

using namespace norvex::transfer;

namespace {

// The tool's output; false when it did not run or failed.
bool run(const QString &program, const QStringList &args, QByteArray *output = nullptr)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(20000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return false;
    if (output)
        *output = p.readAllStandardOutput();
    return true;
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class KnownHostsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void replacesOnlyTheHostsEntries_data();
    void replacesOnlyTheHostsEntries();
    void keepsTheModeOrMakesAPrivateFile();

private:
    QTemporaryDir m_dir;
    QByteArray m_oldKey; // "ssh-ed25519 AAAA..."
    QByteArray m_newKey;
};

void KnownHostsTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    for (const char *name : {"old", "new"}) {
        const QString key = m_dir.filePath(QString::fromLatin1(name));
        QVERIFY(run(QStringLiteral("ssh-keygen"),
                    {QStringLiteral("-q"), QStringLiteral("-t"), QStringLiteral("ed25519"),
                     QStringLiteral("-N"), QString(), QStringLiteral("-f"), key}));
        const QByteArray pub = readAll(key + QStringLiteral(".pub"));
        (QByteArray(name) == "old" ? m_oldKey : m_newKey) = pub.left(pub.lastIndexOf(' '));
    }
}

void KnownHostsTest::replacesOnlyTheHostsEntries_data()
{
    // "%o" stands for the old key; the host is [srv]:2222 unless the row says port 22.
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("port");
    QTest::addColumn<QByteArray>("kept");
    QTest::newRow("plain entry") << QByteArray("[srv]:2222 %o\nother %o\n") << 2222
                                 << QByteArray("other %o\n");
    QTest::newRow("port 22 is the bare name")
        << QByteArray("srv %o\n[srv]:2222 %o\n") << 22 << QByteArray("[srv]:2222 %o\n");
    // As ssh-keygen -R does: the whole line goes, also the alias it names.
    QTest::newRow("name list") << QByteArray("alias,[srv]:2222 %o\nother %o\n") << 2222
                               << QByteArray("other %o\n");
    QTest::newRow("two keys for the host") << QByteArray("[srv]:2222 %o\nother %o\n[srv]:2222 %o\n")
                                           << 2222 << QByteArray("other %o\n");
    QTest::newRow("comments and markers stay")
        << QByteArray("# mine\n@revoked [srv]:2222 %o\n[srv]:2222 %o\n") << 2222
        << QByteArray("# mine\n@revoked [srv]:2222 %o\n");
    QTest::newRow("no line ending at the end")
        << QByteArray("other %o") << 2222 << QByteArray("other %o\n");
    QTest::newRow("no file") << QByteArray() << 2222 << QByteArray();
}

void KnownHostsTest::replacesOnlyTheHostsEntries()
{
    QFETCH(QByteArray, file);
    QFETCH(int, port);
    QFETCH(QByteArray, kept);
    const QString path = m_dir.filePath(QStringLiteral("known_hosts"));
    QFile::remove(path);
    if (!file.isNull()) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(file).replace("%o", m_oldKey));
    }
    const QByteArray name = port == 22 ? "srv" : "[srv]:2222";
    QString error;
    QVERIFY2(
        replaceKnownHost(path, QStringLiteral("srv"), port, name + ' ' + m_newKey + '\n', &error),
        qPrintable(error));
    QCOMPARE(readAll(path),
             QByteArray(kept).replace("%o", m_oldKey) + name + ' ' + m_newKey + '\n');
    // OpenSSH finds the new key for the host, and the old one only as revoked.
    QByteArray found;
    QVERIFY(run(QStringLiteral("ssh-keygen"),
                {QStringLiteral("-F"), QString::fromLatin1(name), QStringLiteral("-f"), path},
                &found));
    QVERIFY2(found.contains(m_newKey), found.constData());
    for (const QByteArray &line : found.split('\n'))
        QVERIFY2(!line.contains(m_oldKey) || line.startsWith("@revoked"), found.constData());
}

void KnownHostsTest::keepsTheModeOrMakesAPrivateFile()
{
    const QString path = m_dir.filePath(QStringLiteral("hashed"));
    QFile::remove(path);
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("[srv]:2222 " + m_oldKey + "\nother " + m_oldKey + '\n');
    }
    // Hashed names (HashKnownHosts) are matched too.
    QVERIFY(run(QStringLiteral("ssh-keygen"), {QStringLiteral("-H"), QStringLiteral("-f"), path}));
    QVERIFY(readAll(path).startsWith("|1|"));
    QVERIFY(::chmod(QFile::encodeName(path).constData(), 0644) == 0);
    QVERIFY(replaceKnownHost(path, QStringLiteral("srv"), 2222, "[srv]:2222 " + m_newKey));
    const QList<QByteArray> lines = readAll(path).trimmed().split('\n');
    QCOMPARE(lines.size(), 2);
    QVERIFY(lines[0].startsWith("|1|") && lines[0].endsWith(m_oldKey)); // "other" stays
    QCOMPARE(lines[1], "[srv]:2222 " + m_newKey);
    struct stat st
    {
    };
    QVERIFY(::stat(QFile::encodeName(path).constData(), &st) == 0);
    QCOMPARE(st.st_mode & 0777, 0644u);

    const QString fresh = m_dir.filePath(QStringLiteral("sub/known_hosts"));
    QVERIFY(replaceKnownHost(fresh, QStringLiteral("srv"), 22, "srv " + m_newKey));
    QVERIFY(::stat(QFile::encodeName(fresh).constData(), &st) == 0);
    QCOMPARE(st.st_mode & 0777, 0600u);
}

QTEST_GUILESS_MAIN(KnownHostsTest)
#include "KnownHostsTest.moc"
