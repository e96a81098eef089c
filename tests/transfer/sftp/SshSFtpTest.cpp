// TSshSFtp and TSshKey against a real OpenSSH sshd on 127.0.0.1 with its default
// algorithms (tests/servers/sshd-start.sh).

#include "transfer/SshSFtp.h"
#include "NeedsRoot.h"
#include "SshdFixture.h"
#include "fakes/SilentSshServer.h"
#include "platform/Paths.h"
#include "transfer/SshKey.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>
#include <cerrno>
#include <cstring>
#include <sys/mount.h>
#include <thread>

using namespace norvex::transfer;
using sftptest::readFile;
using sftptest::writeFile;

namespace {

// How much longer than its time-out a failing call may take on a loaded machine. Still well
// under the 15 s defaults, so a time-out that was ignored shows.
constexpr qint64 kSlackMs = 10000;

int closedPort()
{
    SilentSshServer s; // bound, then closed again at once
    return s.port();
}

} // namespace

class SshSFtpTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_local;

    // Lanes opened at the start of every upload, whatever the link.
    static void forceLanes(TSshSFtp &c, int lanes, quint64 maxInFlight = UploadLimits().maxInFlight)
    {
        UploadLimits limits;
        limits.minLanes = lanes;
        limits.maxInFlight = maxInFlight;
        c.setUploadLimits(limits);
    }

    // The upload over its first channel only, and over four from the start.
    static void laneRows()
    {
        QTest::addColumn<int>("lanes");
        QTest::newRow("one channel") << 1;
        QTest::newRow("four channels") << 4;
    }

    bool connectAs(TSshSFtp &c, const sftptest::Sshd &s)
    {
        return c.Connect(QStringLiteral("127.0.0.1"), s.port) == 1 &&
               c.AuthenticatePassword(s.user, s.password) == 1 && c.StartSftp() == 1;
    }

private slots:
    void initTestCase() { QVERIFY(m_local.isValid()); }

    void passwordLoginStartsSftp()
    {
        REQUIRE_SSHD(s);
        TSshSFtp c;
        QCOMPARE(c.Connect(QStringLiteral("127.0.0.1"), s.port), 1);
        QCOMPARE(c.AuthenticatePassword(s.user, s.password), 1);
        QCOMPARE(c.StartSftp(), 1);
        c.Disconnect();
        QCOMPARE(c.StartSftp(), 0);
        QVERIFY(!c.ErrorText().isEmpty());
    }

    void passwordWorksAsKeyboardInteractive()
    {
        REQUIRE_SSHD(s);
        QVERIFY(s.kbdPort > 0);
        TSshSFtp c;
        QCOMPARE(c.Connect(QStringLiteral("127.0.0.1"), s.kbdPort), 1);
        QCOMPARE(c.AuthenticatePassword(s.user, QStringLiteral("not the password")), 0);
        QVERIFY2(c.ErrorText().contains(QStringLiteral("Password authentication")),
                 qPrintable(c.ErrorText()));
        QCOMPARE(c.Connect(QStringLiteral("127.0.0.1"), s.kbdPort), 1);
        QVERIFY2(c.AuthenticatePassword(s.user, s.password) == 1, qPrintable(c.ErrorText()));
        QCOMPARE(c.StartSftp(), 1);
    }

    void keyLogin_data()
    {
        QTest::addColumn<QString>("file");
        for (const char *f :
             {"id_ed25519", "id_rsa", "id_ecdsa", "id_ecdsa521", "id_rsa_pem", "id_ecdsa_pkcs8",
              "id_rsa_pkcs8", "rsa.v3.ppk", "rsa.v2.ppk", "ed25519.v3.ppk", "ed25519.v2.ppk",
              "ecdsa256.v3.ppk", "ecdsa256.v2.ppk", "ecdsa384.v3.ppk", "ecdsa384.v2.ppk",
              "ecdsa521.v3.ppk", "ecdsa521.v2.ppk"}) {
            QTest::newRow(f) << QString::fromLatin1(f);
        }
    }

    void keyLogin()
    {
        QFETCH(QString, file);
        REQUIRE_SSHD(s);
        TSshKey key;
        const QString text = key.ReadKeyFile(s.key(file));
        QVERIFY2(!text.isEmpty(), qPrintable(key.KeyErrorText()));
        QVERIFY2(key.LoadKey(text) == 1, qPrintable(key.KeyErrorText()));
        TSshSFtp c;
        QCOMPARE(c.Connect(QStringLiteral("127.0.0.1"), s.port), 1);
        QVERIFY2(c.AuthenticateKey(s.user, key) == 1, qPrintable(c.ErrorText()));
        QCOMPARE(c.StartSftp(), 1);
    }

    void keyIsUsedWhenPasswordIsWrongToo()
    {
        // The service authenticates with the key alone when a key file is set; the wrong
        // password stored beside it must not matter.
        REQUIRE_SSHD(s);
        TSshKey key;
        QCOMPARE(key.LoadKey(key.ReadKeyFile(s.key(QStringLiteral("ed25519.v3.ppk")))), 1);
        TSshSFtp c;
        QCOMPARE(c.Connect(QStringLiteral("127.0.0.1"), s.port), 1);
        QCOMPARE(c.AuthenticateKey(s.user, key), 1);
    }

    void wrongPasswordIsDenied()
    {
        REQUIRE_SSHD(s);
        TSshSFtp c;
        QCOMPARE(c.Connect(QStringLiteral("127.0.0.1"), s.port), 1);
        QCOMPARE(c.AuthenticatePassword(s.user, QStringLiteral("not the password")), 0);
        QVERIFY2(c.ErrorText().contains(QStringLiteral("Access denied")),
                 qPrintable(c.ErrorText()));
        QCOMPARE(c.StartSftp(), 0);
    }

    void keyTheServerDoesNotAcceptIsDenied()
    {
        REQUIRE_SSHD(s);
        TSshKey key;
        QCOMPARE(key.LoadKey(key.ReadKeyFile(s.key(QStringLiteral("id_unauthorized")))), 1);
        TSshSFtp c;
        QCOMPARE(c.Connect(QStringLiteral("127.0.0.1"), s.port), 1);
        QCOMPARE(c.AuthenticateKey(s.user, key), 0);
        QVERIFY2(c.ErrorText().contains(QStringLiteral("Key authentication")),
                 qPrintable(c.ErrorText()));
        TSshKey empty;
        QCOMPARE(c.AuthenticateKey(s.user, empty), 0);
        QVERIFY(c.ErrorText().contains(QStringLiteral("No private key")));
    }

    void missingKeyFileGivesNoText()
    {
        TSshKey key;
        QCOMPARE(key.ReadKeyFile(m_local.filePath(QStringLiteral("absent.ppk"))), QString());
        QVERIFY2(key.KeyErrorText().contains(QStringLiteral("No such file or directory")),
                 qPrintable(key.KeyErrorText()));
        QCOMPARE(key.ReadKeyFile(m_local.path()), QString());
        QVERIFY(!key.KeyErrorText().isEmpty());
    }

    void unusableKeyTextsAreRefused_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("reason");
        const QString passphrase = QStringLiteral("passphrase-protected key cannot be used");
        QTest::newRow("text file") << "not-a-key.txt"
                                   << "not a private key";
        QTest::newRow("public key") << "id_ed25519.pub"
                                    << "public key";
        QTest::newRow("encrypted OpenSSH") << "id_encrypted" << passphrase;
        QTest::newRow("encrypted PEM") << "id_encrypted_pem" << passphrase;
        QTest::newRow("encrypted PPK v2") << "encrypted.v2.ppk" << passphrase;
        QTest::newRow("encrypted PPK v3") << "encrypted.v3.ppk" << passphrase;
    }

    void unusableKeyTextsAreRefused()
    {
        QFETCH(QString, file);
        QFETCH(QString, reason);
        REQUIRE_SSHD(s);
        TSshKey key;
        const QString text = key.ReadKeyFile(s.key(file));
        QVERIFY(!text.isEmpty());
        QCOMPARE(key.LoadKey(text), 0);
        QVERIFY2(key.KeyErrorText().contains(reason), qPrintable(key.KeyErrorText()));
        QVERIFY(!key.key());
    }

    void puttyKeyWithWindowsLineEndsLoads()
    {
        REQUIRE_SSHD(s);
        TSshKey key;
        QString text = key.ReadKeyFile(s.key(QStringLiteral("ecdsa384.v2.ppk")));
        text.replace(QStringLiteral("\n"), QStringLiteral("\r\n"));
        QVERIFY2(key.LoadKey(text) == 1, qPrintable(key.KeyErrorText()));
        TSshSFtp c;
        QCOMPARE(c.Connect(QStringLiteral("127.0.0.1"), s.port), 1);
        QCOMPARE(c.AuthenticateKey(s.user, key), 1);
    }

    void damagedPuttyKeyFailsItsMac()
    {
        REQUIRE_SSHD(s);
        TSshKey key;
        for (const char *f : {"ed25519.v3.ppk", "rsa.v2.ppk"}) {
            QString text = key.ReadKeyFile(s.key(QString::fromLatin1(f)));
            text.replace(QStringLiteral("Comment: ppk-"), QStringLiteral("Comment: PPK-"));
            QCOMPARE(key.LoadKey(text), 0);
            QVERIFY2(key.KeyErrorText().contains(QStringLiteral("MAC")),
                     qPrintable(key.KeyErrorText()));
        }
    }

    void closedPortFailsAtOnce()
    {
        TSshSFtp c;
        QCOMPARE(c.Connect(QStringLiteral("127.0.0.1"), closedPort()), 0);
        QVERIFY2(c.ErrorText().contains(QStringLiteral("Connection refused")),
                 qPrintable(c.ErrorText()));
    }

    void hostNamesAreResolved()
    {
        REQUIRE_SSHD(s);
        TSshSFtp c;
        QVERIFY2(c.Connect(QStringLiteral("localhost"), s.port) == 1, qPrintable(c.ErrorText()));
        QCOMPARE(c.AuthenticatePassword(s.user, s.password), 1);
        c.setConnectTimeoutMs(3000);
        QElapsedTimer t;
        t.start();
        QCOMPARE(c.Connect(QStringLiteral("no-such-host.invalid"), s.port), 0);
        QVERIFY2(t.elapsed() < 3000 + kSlackMs, qPrintable(QString::number(t.elapsed())));
        QVERIFY2(c.ErrorText().startsWith(QStringLiteral("Cannot resolve the host name")),
                 qPrintable(c.ErrorText()));
        QCOMPARE(c.AuthenticatePassword(s.user, s.password), 0); // the old session is gone
    }

    void silentServerFailsWithinConnectTimeout()
    {
        SilentSshServer silent;
        QVERIFY(silent.port() > 0);
        TSshSFtp c;
        c.setConnectTimeoutMs(1500);
        QElapsedTimer t;
        t.start();
        QCOMPARE(c.Connect(QStringLiteral("127.0.0.1"), silent.port()), 0);
        QVERIFY2(t.elapsed() < 1500 + kSlackMs, qPrintable(QString::number(t.elapsed())));
        QVERIFY2(c.ErrorText().contains(QStringLiteral("1500 ms")), qPrintable(c.ErrorText()));
    }

    void hostKeyIsTrustedOnFirstUseAndPinned()
    {
        REQUIRE_SSHD(s);
        const QString knownHosts =
            norvex::platform::installFolder() + QStringLiteral("known_hosts");
        QFile::remove(knownHosts);
        // The later tests trust the server afresh.
        struct Forget
        {
            QString file;
            ~Forget() { QFile::remove(file); }
        } forget{knownHosts};
        {
            TSshSFtp c;
            QCOMPARE(c.knownHostsFile(), knownHosts);
            QCOMPARE(c.Connect(QStringLiteral("127.0.0.1"), s.port), 1);
        }
        const QByteArray recorded = readFile(knownHosts);
        QVERIFY2(recorded.startsWith(QStringLiteral("[127.0.0.1]:%1 ").arg(s.port).toUtf8()),
                 recorded.constData());
        {
            TSshSFtp c;
            QCOMPARE(c.Connect(QStringLiteral("127.0.0.1"), s.port), 1);
            QCOMPARE(c.AuthenticatePassword(s.user, s.password), 1);
        }
        QCOMPARE(readFile(knownHosts), recorded); // nothing added for a known key

        // Another server now answers on that address: same key type, other key.
        const QByteArray otherKey = readFile(s.key(QStringLiteral("id_unauthorized.pub")));
        const QByteArray impostor = QStringLiteral("[127.0.0.1]:%1 ").arg(s.port).toUtf8() +
                                    otherKey.left(otherKey.lastIndexOf(' ')) + '\n';
        QVERIFY(writeFile(knownHosts, impostor));
        TSshSFtp c;
        QCOMPARE(c.Connect(QStringLiteral("127.0.0.1"), s.port), 0);
        const QString text = c.ErrorText();
        QVERIFY2(text.contains(QStringLiteral("127.0.0.1:%1").arg(s.port)), qPrintable(text));
        QVERIFY2(text.contains(s.hostKeySha256), qPrintable(text));
        const QString pinned = QString::fromUtf8(
            sftptest::readFile(s.key(QStringLiteral("id_unauthorized.pub"))).split(' ').value(1));
        QVERIFY(!pinned.isEmpty());
        QVERIFY2(text.contains(QStringLiteral("SHA256:")) &&
                     text.count(QStringLiteral("SHA256:")) == 2,
                 qPrintable(text));
        QCOMPARE(c.AuthenticatePassword(s.user, s.password), 0);
        QCOMPARE(readFile(knownHosts), impostor); // the refused key is not recorded

        // Hashed names (ssh-keyscan -H, ssh's HashKnownHosts) are matched too.
        QFile::remove(knownHosts);
        QProcess scan;
        scan.start(QStringLiteral("ssh-keyscan"),
                   {QStringLiteral("-H"), QStringLiteral("-t"), QStringLiteral("ed25519"),
                    QStringLiteral("-p"), QString::number(s.port), QStringLiteral("127.0.0.1")});
        QVERIFY(scan.waitForFinished(10000));
        const QByteArray hashed = scan.readAllStandardOutput();
        QVERIFY2(hashed.startsWith("|1|"), hashed.constData());
        QVERIFY(writeFile(knownHosts, hashed));
        TSshSFtp again;
        QCOMPARE(again.Connect(QStringLiteral("127.0.0.1"), s.port), 1);

        // A hashed entry with another key names that key's fingerprint.
        QList<QByteArray> fields = hashed.trimmed().split(' ');
        QVERIFY(fields.size() >= 3);
        fields[2] = otherKey.split(' ').value(1);
        QVERIFY(writeFile(knownHosts, fields.join(' ') + '\n'));
        const QString otherFingerprint =
            sftptest::keyFingerprint(s.key(QStringLiteral("id_unauthorized.pub")));
        QVERIFY(otherFingerprint.startsWith(QStringLiteral("SHA256:")));
        QCOMPARE(again.Connect(QStringLiteral("127.0.0.1"), s.port), 0);
        QVERIFY2(again.ErrorText().contains(otherFingerprint), qPrintable(again.ErrorText()));
        QVERIFY2(again.ErrorText().contains(s.hostKeySha256), qPrintable(again.ErrorText()));
    }

    void fileOperations()
    {
        REQUIRE_SSHD(s);
        const QString dir = sftptest::freshRemoteFolder(s, QStringLiteral("sftp-ops"));
        TSshSFtp c;
        QVERIFY2(connectAs(c, s), qPrintable(c.ErrorText()));

        QCOMPARE(c.OpenDirectory(QStringLiteral("./") + dir + QStringLiteral("/sub")), QString());
        QVERIFY2(c.ErrorText().contains(QStringLiteral("No such file")), qPrintable(c.ErrorText()));
        QCOMPARE(c.CreateDirectory(dir + QStringLiteral("/sub")), 1);
        QCOMPARE(c.CreateDirectory(dir + QStringLiteral("/sub")), 0);
        QVERIFY(!c.ErrorText().isEmpty());
        const QString h = c.OpenDirectory(QStringLiteral("./") + dir + QStringLiteral("/sub"));
        QVERIFY(!h.isEmpty());
        QCOMPARE(c.CloseRemoteHandle(h), 1);
        QCOMPARE(c.CloseRemoteHandle(h), 0);

        // Odd sizes cross request boundaries; the second upload is shorter and must
        // truncate what the first left.
        const QString remote = dir + QStringLiteral("/sub/a.bin");
        for (qsizetype size : {qsizetype(5 * 1024 * 1024 + 77), qsizetype(300001), qsizetype(0)}) {
            const QByteArray data = sftptest::randomBytes(size);
            const QString local = m_local.filePath(QStringLiteral("a.bin"));
            QVERIFY(writeFile(local, data));
            const QString f = c.OpenRemoteFile(remote, QStringLiteral("writeOnly"),
                                               QStringLiteral("createTruncate"));
            QVERIFY2(!f.isEmpty(), qPrintable(c.ErrorText()));
            QVERIFY2(c.UploadToHandle(f, local) == 1, qPrintable(c.ErrorText()));
            QCOMPARE(c.CloseRemoteHandle(f), 1);
            QVERIFY(readFile(s.remote(remote)) == data);
        }

        QCOMPARE(c.RenamePath(remote, dir + QStringLiteral("/b.bin")), 1);
        QVERIFY(QFile::exists(s.remote(dir + QStringLiteral("/b.bin"))));
        QVERIFY(writeFile(s.remote(dir + QStringLiteral("/c.bin")), "c"));
        QCOMPARE(c.RenamePath(dir + QStringLiteral("/b.bin"), dir + QStringLiteral("/c.bin")), 0);
        QVERIFY(!c.ErrorText().isEmpty());
        QCOMPARE(c.RemoveFile(dir + QStringLiteral("/b.bin")), 1);
        QCOMPARE(c.RemoveFile(dir + QStringLiteral("/b.bin")), 0);
        QVERIFY2(c.ErrorText().contains(QStringLiteral("No such file")), qPrintable(c.ErrorText()));

        QCOMPARE(c.OpenRemoteFile(QStringLiteral("no/such/folder/x"), QStringLiteral("writeOnly"),
                                  QStringLiteral("createTruncate")),
                 QString());
        QVERIFY(!c.ErrorText().isEmpty());
        const QString f =
            c.OpenRemoteFile(dir + QStringLiteral("/d.bin"), QStringLiteral("writeOnly"),
                             QStringLiteral("createTruncate"));
        QVERIFY(!f.isEmpty());
        QCOMPARE(c.UploadToHandle(f, m_local.filePath(QStringLiteral("absent"))), 0);
        QVERIFY2(c.ErrorText().contains(QStringLiteral("No such file")), qPrintable(c.ErrorText()));
        QCOMPARE(
            c.UploadToHandle(QStringLiteral("abcd"), m_local.filePath(QStringLiteral("a.bin"))), 0);
        QCOMPARE(c.CloseRemoteHandle(f), 1);
        QCOMPARE(
            c.OpenRemoteFile(remote, QStringLiteral("sideways"), QStringLiteral("createTruncate")),
            QString());
    }

    void fullDiskFailsTheUploadAndTheSessionLivesOn_data() { laneRows(); }
    void fullDiskFailsTheUploadAndTheSessionLivesOn()
    {
        QFETCH(int, lanes);
        REQUIRE_SSHD(s);
        // A real ENOSPC on the server: a 1 MiB file system where the upload goes.
        SKIP_UNLESS_ROOT("the full disk is a tmpfs mount, which needs root");
        const QString dir = sftptest::freshRemoteFolder(s, QStringLiteral("sftp-full"));
        QVERIFY2(::mount("tmpfs", QFile::encodeName(s.remote(dir)).constData(), "tmpfs", 0,
                         "size=1m,mode=0777") == 0,
                 strerror(errno));
        struct Unmount
        {
            QByteArray path;
            ~Unmount() { ::umount2(path.constData(), MNT_DETACH); }
        } unmount{QFile::encodeName(s.remote(dir))};

        const QString local = m_local.filePath(QStringLiteral("eight.bin"));
        QVERIFY(writeFile(local, sftptest::randomBytes(8 * 1024 * 1024)));
        TSshSFtp c;
        forceLanes(c, lanes);
        QVERIFY2(connectAs(c, s), qPrintable(c.ErrorText()));
        const QString f =
            c.OpenRemoteFile(dir + QStringLiteral("/eight.bin"), QStringLiteral("writeOnly"),
                             QStringLiteral("createTruncate"));
        QVERIFY(!f.isEmpty());
        QCOMPARE(c.UploadToHandle(f, local), 0);
        QVERIFY2(c.ErrorText().contains(QStringLiteral("SFTP status 4")),
                 qPrintable(c.ErrorText()));
        c.CloseRemoteHandle(f);
        QCOMPARE(c.RemoveFile(dir + QStringLiteral("/eight.bin")), 1);

        // Replies to the writes still in flight were skipped: the session answers in step.
        const QString other = sftptest::freshRemoteFolder(s, QStringLiteral("sftp-after-full"));
        const QString g =
            c.OpenRemoteFile(other + QStringLiteral("/small.bin"), QStringLiteral("writeOnly"),
                             QStringLiteral("createTruncate"));
        QVERIFY2(!g.isEmpty(), qPrintable(c.ErrorText()));
        QVERIFY(writeFile(local, "small"));
        QCOMPARE(c.UploadToHandle(g, local), 1);
        QCOMPARE(c.CloseRemoteHandle(g), 1);
        QCOMPARE(readFile(s.remote(other + QStringLiteral("/small.bin"))), QByteArray("small"));
    }

    // A server that announces a 1-byte write size, or answers with replies to requests
    // never sent, gets bounded work: writes of at least 1 KiB, and the session is given up
    // after a few thousand stray replies instead of waiting on them forever.
    void misbehavingServerCannotHoldTheRun_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("1-byte write size") << "sftp-fake-tiny.bin";
        QTest::newRow("stray replies") << "sftp-fake-stray.bin";
    }
    void misbehavingServerCannotHoldTheRun()
    {
        QFETCH(QString, name);
        REQUIRE_SSHD(s);
        QVERIFY(s.fakeSftpPort > 0);
        const QString local = m_local.filePath(QStringLiteral("fake.bin"));
        const QByteArray data = sftptest::randomBytes(64 * 1024 + 7);
        QVERIFY(writeFile(local, data));
        TSshSFtp c;
        forceLanes(c, 4); // the server allows one channel: the others are refused
        QVERIFY(c.Connect(QStringLiteral("127.0.0.1"), s.fakeSftpPort) == 1 &&
                c.AuthenticatePassword(s.user, s.password) == 1);
        QVERIFY2(c.StartSftp() == 1, qPrintable(c.ErrorText()));
        const QString f =
            c.OpenRemoteFile(name, QStringLiteral("writeOnly"), QStringLiteral("createTruncate"));
        if (name.contains(QLatin1String("stray"))) {
            QVERIFY(f.isEmpty());
            QVERIFY2(c.ErrorText().contains(QStringLiteral("too many replies")),
                     qPrintable(c.ErrorText()));
            return;
        }
        QVERIFY2(!f.isEmpty(), qPrintable(c.ErrorText()));
        QVERIFY2(c.UploadToHandle(f, local) == 1, qPrintable(c.ErrorText()));
        QCOMPARE(c.uploadStats().lanes, 1);
        QCOMPARE(c.CloseRemoteHandle(f), 1);
        QVERIFY(readFile(s.remote(name)) == data);
        QCOMPARE(readFile(s.remote(name + QStringLiteral(".writes"))), QByteArray("65"));
        QFile::remove(s.remote(name));
        QFile::remove(s.remote(name + QStringLiteral(".writes")));
    }

    // Over one or several channels, with room in flight for many requests or for less than
    // one: the file arrives whole, the progress is the acknowledged bytes (rising, ending
    // at the size), the data awaiting replies never passes the bound (one request when the
    // bound is smaller), and the session answers in step afterwards.
    void uploadOverLanes_data()
    {
        QTest::addColumn<int>("lanes");
        QTest::addColumn<quint64>("maxInFlight");
        QTest::newRow("one channel, 16 MiB") << 1 << quint64(16 * 1024 * 1024);
        QTest::newRow("four channels, 16 MiB") << 4 << quint64(16 * 1024 * 1024);
        QTest::newRow("eight channels, 3 MiB") << 8 << quint64(3 * 1024 * 1024);
        QTest::newRow("four channels, less than a request") << 4 << quint64(64 * 1024);
    }
    void uploadOverLanes()
    {
        QFETCH(int, lanes);
        QFETCH(quint64, maxInFlight);
        REQUIRE_SSHD(s);
        const QString dir = sftptest::freshRemoteFolder(s, QStringLiteral("sftp-lanes"));
        const QByteArray data = sftptest::randomBytes(24 * 1024 * 1024 + 4099);
        const QString local = m_local.filePath(QStringLiteral("lanes.bin"));
        QVERIFY(writeFile(local, data));
        TSshSFtp c;
        forceLanes(c, lanes, maxInFlight);
        QVERIFY2(connectAs(c, s), qPrintable(c.ErrorText()));
        const QString remote = dir + QStringLiteral("/lanes.bin");
        const QString f =
            c.OpenRemoteFile(remote, QStringLiteral("writeOnly"), QStringLiteral("createTruncate"));
        QVERIFY(!f.isEmpty());
        QList<qint64> progress;
        QVERIFY2(c.UploadToHandle(f, local, [&](qint64 bytes) { progress << bytes; }) == 1,
                 qPrintable(c.ErrorText()));
        const UploadStats stats = c.uploadStats();
        QVERIFY(!progress.isEmpty());
        QCOMPARE(progress.last(), qint64(data.size()));
        for (qsizetype i = 1; i < progress.size(); ++i)
            QVERIFY2(progress[i] > progress[i - 1], qPrintable(QString::number(i)));
        QVERIFY2(stats.peakInFlight <= qMax<quint64>(maxInFlight, 255 * 1024),
                 qPrintable(QString::number(stats.peakInFlight)));
        QVERIFY(stats.lanes >= 1 && stats.lanes <= lanes);
        QCOMPARE(c.HandleSize(f), qint64(data.size()));
        QCOMPARE(c.CloseRemoteHandle(f), 1);
        QVERIFY(readFile(s.remote(remote)) == data);
        QCOMPARE(c.RemoveFile(remote), 1);
    }

    // Key renewals every MiB while the upload runs over several channels: writes wait for
    // each exchange to finish and go on.
    void keyRenewalsDuringTheUpload()
    {
        REQUIRE_SSHD(s);
        QVERIFY(s.rekeyPort > 0);
        const QString dir = sftptest::freshRemoteFolder(s, QStringLiteral("sftp-rekey"));
        const QByteArray data = sftptest::randomBytes(16 * 1024 * 1024 + 1);
        const QString local = m_local.filePath(QStringLiteral("rekey.bin"));
        QVERIFY(writeFile(local, data));
        TSshSFtp c;
        forceLanes(c, 4);
        QVERIFY2(c.Connect(QStringLiteral("127.0.0.1"), s.rekeyPort) == 1 &&
                     c.AuthenticatePassword(s.user, s.password) == 1 && c.StartSftp() == 1,
                 qPrintable(c.ErrorText()));
        const QString remote = dir + QStringLiteral("/rekey.bin");
        const QString f =
            c.OpenRemoteFile(remote, QStringLiteral("writeOnly"), QStringLiteral("createTruncate"));
        QVERIFY(!f.isEmpty());
        QVERIFY2(c.UploadToHandle(f, local) == 1, qPrintable(c.ErrorText()));
        QCOMPARE(c.CloseRemoteHandle(f), 1);
        QVERIFY(readFile(s.remote(remote)) == data);
    }

    // A server that stops taking data for a while (its windows run dry on every channel)
    // but comes back before the idle time-out: the upload waits and completes.
    void pausedServerCompletesTheUpload_data() { laneRows(); }
    void pausedServerCompletesTheUpload()
    {
        QFETCH(int, lanes);
        REQUIRE_SSHD(s);
        const QString dir = sftptest::freshRemoteFolder(s, QStringLiteral("sftp-pause"));
        const QByteArray data = sftptest::randomBytes(32 * 1024 * 1024);
        const QString local = m_local.filePath(QStringLiteral("pause.bin"));
        QVERIFY(writeFile(local, data));
        TSshSFtp c;
        c.setIdleTimeoutMs(15000);
        forceLanes(c, lanes);
        QVERIFY2(connectAs(c, s), qPrintable(c.ErrorText()));
        const QString remote = dir + QStringLiteral("/pause.bin");
        const QString f =
            c.OpenRemoteFile(remote, QStringLiteral("writeOnly"), QStringLiteral("createTruncate"));
        QVERIFY(!f.isEmpty());
        sftptest::CutWhenGrown pause(s.pid, s.remote(remote), 4 * 1024 * 1024, SIGSTOP);
        pause.start();
        std::thread resume([&] {
            pause.wait();
            QThread::msleep(1500);
            sftptest::signalSessions(s.pid, SIGCONT);
        });
        const int rc = c.UploadToHandle(f, local);
        resume.join();
        QVERIFY(pause.fired());
        QVERIFY2(rc == 1, qPrintable(c.ErrorText()));
        QCOMPARE(c.CloseRemoteHandle(f), 1);
        QVERIFY(readFile(s.remote(remote)) == data);
    }

    // A literal IPv6 address in the host field, bare or in brackets.
    void ipv6AddressConnects_data()
    {
        QTest::addColumn<QString>("host");
        QTest::newRow("::1") << "::1";
        QTest::newRow("[::1]") << "[::1]";
    }
    void ipv6AddressConnects()
    {
        QFETCH(QString, host);
        REQUIRE_SSHD(s);
        if (!s.ipv6)
            QSKIP("the loopback has no IPv6 address here");
        TSshSFtp c;
        c.setKnownHostsFile(m_local.filePath(QStringLiteral("known_hosts_v6")));
        QVERIFY2(c.Connect(host, s.port) == 1, qPrintable(c.ErrorText()));
        QVERIFY2(c.AuthenticatePassword(s.user, s.password) == 1, qPrintable(c.ErrorText()));
        QCOMPARE(c.StartSftp(), 1);
        QVERIFY(readFile(m_local.filePath(QStringLiteral("known_hosts_v6")))
                    .startsWith(QStringLiteral("[::1]:%1 ").arg(s.port).toLatin1()));
    }

    void stalledServerFailsWithinIdleTimeout_data() { laneRows(); }
    void stalledServerFailsWithinIdleTimeout()
    {
        QFETCH(int, lanes);
        REQUIRE_SSHD(s);
        const QString dir = sftptest::freshRemoteFolder(s, QStringLiteral("sftp-stall"));
        const QString local = m_local.filePath(QStringLiteral("big.bin"));
        QVERIFY(writeFile(local, sftptest::randomBytes(64 * 1024 * 1024)));
        TSshSFtp c;
        c.setIdleTimeoutMs(2000);
        forceLanes(c, lanes);
        QVERIFY2(connectAs(c, s), qPrintable(c.ErrorText()));
        const QString remote = dir + QStringLiteral("/big.bin");
        const QString f =
            c.OpenRemoteFile(remote, QStringLiteral("writeOnly"), QStringLiteral("createTruncate"));
        QVERIFY(!f.isEmpty());

        sftptest::CutWhenGrown stall(s.pid, s.remote(remote), 4 * 1024 * 1024, SIGSTOP);
        stall.start();
        QElapsedTimer t;
        t.start();
        const int rc = c.UploadToHandle(f, local);
        const qint64 elapsed = t.elapsed();
        stall.wait();
        sftptest::signalSessions(s.pid, SIGKILL);
        sftptest::signalSessions(s.pid, SIGCONT);
        QVERIFY(stall.fired());
        QCOMPARE(rc, 0);
        QVERIFY2(c.ErrorText().contains(QStringLiteral("2000 ms")), qPrintable(c.ErrorText()));
        QVERIFY2(elapsed < 2000 + kSlackMs, qPrintable(QString::number(elapsed)));
        t.restart();
        QCOMPARE(c.CloseRemoteHandle(f), 0); // the session is gone; fails at once
        QCOMPARE(c.RemoveFile(remote), 0);
        QVERIFY2(t.elapsed() < kSlackMs, qPrintable(QString::number(t.elapsed())));
    }

    void serverStallingBeforeLoginFailsWithinIdleTimeout()
    {
        REQUIRE_SSHD(s);
        TSshSFtp c;
        // Before login the session runs as sshd's own user, which only root may stop.
        SKIP_UNLESS_ROOT("stopping sshd's pre-login process needs root");
        c.setIdleTimeoutMs(1500);
        QCOMPARE(c.Connect(QStringLiteral("127.0.0.1"), s.port), 1);
        sftptest::signalSessions(s.pid, SIGSTOP);
        QElapsedTimer t;
        t.start();
        const int rc = c.AuthenticatePassword(s.user, s.password);
        const qint64 elapsed = t.elapsed();
        sftptest::signalSessions(s.pid, SIGKILL);
        sftptest::signalSessions(s.pid, SIGCONT);
        QCOMPARE(rc, 0);
        QVERIFY2(elapsed < 1500 + kSlackMs, qPrintable(QString::number(elapsed)));
        QVERIFY2(c.ErrorText().contains(QStringLiteral("1500 ms")), qPrintable(c.ErrorText()));
        QCOMPARE(c.StartSftp(), 0);
    }

    void killedServerFailsTheUpload()
    {
        REQUIRE_SSHD(s);
        const QString dir = sftptest::freshRemoteFolder(s, QStringLiteral("sftp-kill"));
        const QString local = m_local.filePath(QStringLiteral("big.bin"));
        QVERIFY(writeFile(local, sftptest::randomBytes(64 * 1024 * 1024)));
        TSshSFtp c;
        QVERIFY2(connectAs(c, s), qPrintable(c.ErrorText()));
        const QString remote = dir + QStringLiteral("/big.bin");
        const QString f =
            c.OpenRemoteFile(remote, QStringLiteral("writeOnly"), QStringLiteral("createTruncate"));
        QVERIFY(!f.isEmpty());
        sftptest::CutWhenGrown kill(s.pid, s.remote(remote), 4 * 1024 * 1024, SIGKILL);
        kill.start();
        const int rc = c.UploadToHandle(f, local);
        kill.wait();
        QVERIFY(kill.fired());
        QCOMPARE(rc, 0);
        QVERIFY2(c.ErrorText().startsWith(QStringLiteral("Uploading")), qPrintable(c.ErrorText()));
        QCOMPARE(c.CloseRemoteHandle(f), 0);

        // The server itself lives on.
        TSshSFtp next;
        QVERIFY2(connectAs(next, s), qPrintable(next.ErrorText()));
    }
};

QTEST_GUILESS_MAIN(SshSFtpTest)
#include "SshSFtpTest.moc"
