// The SFTP destination step against a real OpenSSH sshd on 127.0.0.1
// (tests/servers/sshd-start.sh): folder rules, generations, faults.

#include "service/SftpBackUp.h"
#include "NeedsRoot.h"
#include "StuckFile.h"
#include "fakes/SilentSshServer.h"
#include "platform/Paths.h"
#include "shared/JobTable.h"
#include "shared/mlb2.h"
#include "transfer/sftp/SshdFixture.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>
#include <cerrno>
#include <cstring>
#include <memory>
#include <sys/mount.h>
#include <sys/stat.h>

using namespace norvex;
using namespace norvex::service;
using sftptest::readFile;
using sftptest::writeFile;

namespace {

const QString F = QStringLiteral("Norvex-web.zip");

QString gen(int k)
{
    return generationName(F, k);
}

mode_t modeOf(const QString &path)
{
    struct stat st
    {
    };
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

ino_t inodeOf(const QString &path)
{
    struct stat st
    {
    };
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

} // namespace

class SftpBackUpTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_tmp;
    shared::TMlb2 m_job;
    sftptest::Sshd m_s;

    void setJob(const QString &field, const QString &value)
    {
        QVERIFY(m_job.SetFieldByName(field, value));
    }

    QString makeArchive(const QByteArray &data)
    {
        const QString path = m_tmp.filePath(F);
        writeFile(path, data);
        return path;
    }

    // Runs the step; returns "" on success, else className + " : " + message.
    QString run(const QString &remoteFolder, int generations, const QByteArray &archive,
                bool subFolder = true, std::function<void(qint64)> onProgress = {})
    {
        const TransferContext ctx{m_job,
                                  0,
                                  makeArchive(archive),
                                  F,
                                  platform::installFolder(),
                                  subFolder,
                                  remoteFolder,
                                  generations,
                                  std::move(onProgress)};
        try {
            SftpBackUp(ctx);
        } catch (const shared::Exception &e) {
            return e.className() + QStringLiteral(" : ") + e.message();
        }
        return QString();
    }

    // Generations k -> content of the remote folder, and whether a ".part" is there.
    QStringList listing(const QString &folder)
    {
        return QDir(m_s.remote(folder)).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_tmp.isValid());
        m_s = sftptest::sshd();
        if (!m_s.ok)
            QFAIL("the sshd fixture is not running (tests/servers/sshd-start.sh)");
    }

    void init()
    {
        m_job.ClearTable();
        for (const QString &f : shared::jobFieldNames())
            m_job.AddField(f);
        m_job.AppendRecord();
        setJob(QStringLiteral("backupname"), QStringLiteral("web"));
        setJob(QStringLiteral("tobackup"), QStringLiteral("SFTP"));
        setJob(QStringLiteral("hostname"), QStringLiteral("127.0.0.1"));
        setJob(QStringLiteral("port"), QString::number(m_s.port));
        setJob(QStringLiteral("username"), m_s.user);
        setJob(QStringLiteral("password"), m_s.password);
        setJob(QStringLiteral("keyfile"), QString());
    }

    void absentSubFolderIsCreatedWithTheBareName()
    {
        const QString dir = QStringLiteral("sftp-dest-new");
        QDir(m_s.remote(dir)).removeRecursively();
        const QByteArray data = sftptest::randomBytes(3 * 1024 * 1024 + 5);
        QCOMPARE(run(dir, 0, data), QString());
        QCOMPARE(listing(dir), QStringList{F});
        QVERIFY(readFile(m_s.remote(dir + QLatin1Char('/') + F)) == data);
        QVERIFY(!QFile::exists(m_tmp.filePath(F))); // gone from the temporary folder
    }

    void presentSubFolderIsUsed()
    {
        const QString dir = sftptest::freshRemoteFolder(m_s, QStringLiteral("sftp-dest-old"));
        QVERIFY(writeFile(m_s.remote(dir + QStringLiteral("/keep.txt")), "keep"));
        QCOMPARE(run(dir, 0, "archive"), QString());
        QCOMPARE(listing(dir), (QStringList{F, QStringLiteral("keep.txt")}));
        QCOMPARE(readFile(m_s.remote(dir + QStringLiteral("/keep.txt"))), QByteArray("keep"));
    }

    void withoutSubFolderTheLoginFolderIsUsed()
    {
        QFile::remove(m_s.remote(F));
        QCOMPARE(run(QString(), 0, "top", false), QString());
        QCOMPARE(readFile(m_s.remote(F)), QByteArray("top"));
        QFile::remove(m_s.remote(F));
    }

    void withoutGenerationsEachRunReplacesF()
    {
        const QString dir = sftptest::freshRemoteFolder(m_s, QStringLiteral("sftp-dest-nogen"));
        const QString remoteF = m_s.remote(dir + QLatin1Char('/') + F);
        QCOMPARE(run(dir, 0, "first run, longer content"), QString());
        const ino_t before = inodeOf(remoteF);
        QCOMPARE(run(dir, 0, "second"), QString());
        QCOMPARE(readFile(remoteF), QByteArray("second"));
        // A new file took F's name: the old one was never truncated in place.
        QVERIFY(inodeOf(remoteF) != before);
        QCOMPARE(listing(dir), QStringList{F});
    }

    void threeGenerationsRotate_data()
    {
        QTest::addColumn<int>("existing");
        for (int n = 0; n <= 3; ++n)
            QTest::addRow("%d existing", n) << n;
    }

    void threeGenerationsRotate()
    {
        QFETCH(int, existing);
        const QString dir = sftptest::freshRemoteFolder(m_s, QStringLiteral("sftp-dest-gen"));
        for (int k = 1; k <= existing; ++k)
            QVERIFY(writeFile(m_s.remote(dir + QLatin1Char('/') + gen(k)),
                              "old" + QByteArray::number(k)));
        QCOMPARE(run(dir, 3, "new"), QString());
        QStringList expected{gen(1)};
        for (int k = 2; k <= qMin(existing + 1, 3); ++k)
            expected << gen(k);
        QCOMPARE(listing(dir), expected);
        QCOMPARE(readFile(m_s.remote(dir + QLatin1Char('/') + gen(1))), QByteArray("new"));
        for (int k = 2; k <= qMin(existing + 1, 3); ++k) {
            QCOMPARE(readFile(m_s.remote(dir + QLatin1Char('/') + gen(k))),
                     "old" + QByteArray::number(k - 1));
        }
    }

    // With posix-rename (OpenSSH) and without it (the fake, where RENAME never replaces) a
    // run publishes the new archive, or fails with every stored file as it was when the
    // server cannot move one.
    void publishingNeverLosesAStoredFile_data()
    {
        QTest::addColumn<bool>("posixRename");
        QTest::addColumn<int>("generations");
        QTest::addColumn<int>("stuck"); // generation that cannot be moved, 0: F, -1: none
        QTest::newRow("no posix-rename, F replaced") << false << 0 << -1;
        QTest::newRow("no posix-rename, G=3") << false << 3 << -1;
        QTest::newRow("F stuck") << true << 0 << 0;
        QTest::newRow("no posix-rename, F stuck") << false << 0 << 0;
        QTest::newRow("gen 1 stuck") << true << 3 << 1;
        QTest::newRow("gen 2 stuck") << true << 3 << 2;
    }
    void publishingNeverLosesAStoredFile()
    {
        QFETCH(bool, posixRename);
        QFETCH(int, generations);
        QFETCH(int, stuck);
        if (!posixRename)
            setJob(QStringLiteral("port"), QString::number(m_s.fakeSftpPort));
        const QString dir = sftptest::freshRemoteFolder(m_s, QStringLiteral("sftp-dest-stuck"));
        const QStringList old =
            generations > 0 ? QStringList{gen(1), gen(2), gen(3)} : QStringList{F};
        for (const QString &name : old)
            QVERIFY(writeFile(m_s.remote(dir + QLatin1Char('/') + name), name.toUtf8()));
        QString error;
        {
            std::unique_ptr<tests::StuckFile> busy;
            if (stuck >= 0) {
                SKIP_UNLESS_ROOT(
                    "a file that cannot move is made with a bind mount, which needs root");
                busy = std::make_unique<tests::StuckFile>(
                    m_s.remote(dir + QLatin1Char('/') + (stuck ? gen(stuck) : F)));
                QVERIFY2(busy->ok(), "bind mount failed");
            }
            error = run(dir, generations, "new");
        }
        QCOMPARE(listing(dir), old); // no ".part", nothing moved aside is left
        if (stuck < 0) {
            QCOMPARE(error, QString());
            QCOMPARE(readFile(m_s.remote(dir + QLatin1Char('/') + old.first())), QByteArray("new"));
            for (int k = 2; k <= generations; ++k)
                QCOMPARE(readFile(m_s.remote(dir + QLatin1Char('/') + gen(k))),
                         gen(k - 1).toUtf8());
            return;
        }
        QVERIFY2(error.startsWith(QStringLiteral("Exception : ") + kSftpUploadFailed),
                 qPrintable(error));
        for (const QString &name : old)
            QCOMPARE(readFile(m_s.remote(dir + QLatin1Char('/') + name)), name.toUtf8());
    }

    // Every WRITE acknowledged, yet the server holds one byte less: the size read from the
    // open handle fails the transfer with both sizes; the generations stay, no ".part".
    void copyOneByteShortFailsWithBothSizes()
    {
        setJob(QStringLiteral("port"), QString::number(m_s.fakeSftpPort));
        const QString dir = sftptest::freshRemoteFolder(m_s, QStringLiteral("one-byte-short"));
        const QStringList old{gen(1), gen(2)};
        for (const QString &name : old)
            QVERIFY(writeFile(m_s.remote(dir + QLatin1Char('/') + name), name.toUtf8()));
        const QString error = run(dir, 2, QByteArray(5000, 'a'));
        QCOMPARE(error,
                 QStringLiteral("Exception : ") + kSftpUploadFailed + sizeMismatchText(4999, 5000));
        QCOMPARE(listing(dir), old);
        for (const QString &name : old)
            QCOMPARE(readFile(m_s.remote(dir + QLatin1Char('/') + name)), name.toUtf8());
    }

    void progressEndsAtTheArchiveSize()
    {
        const QString dir = sftptest::freshRemoteFolder(m_s, QStringLiteral("sftp-progress"));
        QList<qint64> seen;
        const QByteArray archive = sftptest::randomBytes(5 * 1024 * 1024 + 17);
        QCOMPARE(run(dir, 2, archive, true, [&](qint64 bytes) { seen << bytes; }), QString());
        QVERIFY(seen.size() > 1);
        QCOMPARE(seen.last(), archive.size());
        QVERIFY(std::is_sorted(seen.begin(), seen.end()));
    }

    // The session drops after n renames of the rotation (the fake server ends there):
    // the next run keeps the newest three in order.
    void droppedSessionDuringRotationCostsNothing_data()
    {
        QTest::addColumn<int>("renames");
        for (int n = 0; n <= 4; ++n) // oldest aside, 2 -> 3, 1 -> 2, publish
            QTest::addRow("after %d", n) << n;
    }
    void droppedSessionDuringRotationCostsNothing()
    {
        QFETCH(int, renames);
        setJob(QStringLiteral("port"), QString::number(m_s.fakeSftpPort));
        const QString dir = sftptest::freshRemoteFolder(m_s, QStringLiteral("sftp-dest-cut"));
        auto path = [&](const QString &name) { return m_s.remote(dir + QLatin1Char('/') + name); };
        QStringList published{QStringLiteral("old1"), QStringLiteral("old2"),
                              QStringLiteral("old3")};
        for (int k = 1; k <= 3; ++k)
            QVERIFY(writeFile(path(gen(k)), published[k - 1].toUtf8()));
        QVERIFY(writeFile(path(QStringLiteral("cut-after-renames")), QByteArray::number(renames)));

        const QString error = run(dir, 3, "cut");
        QVERIFY2(renames == 4 || !error.isEmpty(), "the session was not cut");
        QVERIFY(QFile::remove(path(QStringLiteral("cut-after-renames"))));
        for (const QString &name : listing(dir))
            if (readFile(path(name)) == "cut" && !name.endsWith(QLatin1String(".part")))
                published.prepend(QStringLiteral("cut"));

        QCOMPARE(run(dir, 3, "last"), QString());
        published.prepend(QStringLiteral("last"));
        QCOMPARE(listing(dir), (QStringList{gen(1), gen(2), gen(3)}));
        for (int k = 1; k <= 3; ++k)
            QCOMPARE(QString::fromUtf8(readFile(path(gen(k)))), published[k - 1]);
    }

    // Generations are created private, also over a ".part" left by an earlier run.
    void storedGenerationsArePrivate_data()
    {
        QTest::addColumn<int>("generations");
        QTest::newRow("F") << 0;
        QTest::newRow("G=2") << 2;
    }
    void storedGenerationsArePrivate()
    {
        QFETCH(int, generations);
        const QString dir = sftptest::freshRemoteFolder(m_s, QStringLiteral("sftp-dest-mode"));
        const QString part = m_s.remote(dir + QLatin1Char('/') + partName(F, generations));
        QVERIFY(writeFile(part, "left over"));
        QVERIFY(::chmod(QFile::encodeName(part).constData(), 0644) == 0);
        QCOMPARE(run(dir, generations, "private"), QString());
        const QString stored = m_s.remote(dir + QLatin1Char('/') + finalName(F, generations));
        QCOMPARE(readFile(stored), QByteArray("private"));
        QCOMPARE(modeOf(stored), mode_t(0600));
    }

    void serverKilledMidUploadLeavesGenerationsAsTheyWere()
    {
        const QString dir = sftptest::freshRemoteFolder(m_s, QStringLiteral("sftp-dest-kill"));
        for (int k = 1; k <= 3; ++k)
            QVERIFY(writeFile(m_s.remote(dir + QLatin1Char('/') + gen(k)),
                              "old" + QByteArray::number(k)));
        const QString part = m_s.remote(dir + QLatin1Char('/') + gen(1) + QStringLiteral(".part"));
        sftptest::CutWhenGrown kill(m_s.pid, part, 4 * 1024 * 1024, SIGKILL);
        kill.start();
        const QByteArray big = sftptest::randomBytes(64 * 1024 * 1024);
        const QString error = run(dir, 3, big);
        kill.wait();
        QVERIFY(kill.fired());
        QVERIFY2(error.startsWith(QStringLiteral("Exception : ") + kSftpUploadFailed),
                 qPrintable(error));
        QVERIFY(error.size() > QStringLiteral("Exception : ").size() + kSftpUploadFailed.size());
        for (int k = 1; k <= 3; ++k) {
            QCOMPARE(readFile(m_s.remote(dir + QLatin1Char('/') + gen(k))),
                     "old" + QByteArray::number(k));
        }
        QVERIFY(QFile::exists(m_tmp.filePath(F))); // the archive stays for the next run

        // The next run stores over the left-over ".part" and rotates as usual.
        QCOMPARE(run(dir, 3, "new"), QString());
        QCOMPARE(listing(dir), (QStringList{gen(1), gen(2), gen(3)}));
        QCOMPARE(readFile(m_s.remote(dir + QLatin1Char('/') + gen(1))), QByteArray("new"));
        QCOMPARE(readFile(m_s.remote(dir + QLatin1Char('/') + gen(2))), QByteArray("old1"));
    }

    void fullServerDiskRemovesThePartAndKeepsTheGenerations()
    {
        SKIP_UNLESS_ROOT("the full disk is a tmpfs mount, which needs root");
        const QString dir = sftptest::freshRemoteFolder(m_s, QStringLiteral("sftp-dest-full"));
        const QByteArray mountPoint = QFile::encodeName(m_s.remote(dir));
        QVERIFY2(::mount("tmpfs", mountPoint.constData(), "tmpfs", 0, "size=1m,mode=0777") == 0,
                 strerror(errno));
        struct Unmount
        {
            QByteArray path;
            ~Unmount() { ::umount2(path.constData(), MNT_DETACH); }
        } unmount{mountPoint};
        for (int k = 1; k <= 3; ++k)
            QVERIFY(writeFile(m_s.remote(dir + QLatin1Char('/') + gen(k)),
                              "old" + QByteArray::number(k)));
        const QString error = run(dir, 3, sftptest::randomBytes(4 * 1024 * 1024));
        QVERIFY2(error.startsWith(QStringLiteral("Exception : ") + kSftpUploadFailed),
                 qPrintable(error));
        QCOMPARE(listing(dir), (QStringList{gen(1), gen(2), gen(3)}));
        for (int k = 1; k <= 3; ++k) {
            QCOMPARE(readFile(m_s.remote(dir + QLatin1Char('/') + gen(k))),
                     "old" + QByteArray::number(k));
        }
        QVERIFY(QFile::exists(m_tmp.filePath(F)));
    }

    void keyFileIsUsedAndThePasswordIgnored()
    {
        const QString dir = sftptest::freshRemoteFolder(m_s, QStringLiteral("sftp-dest-key"));
        setJob(QStringLiteral("keyfile"), m_s.key(QStringLiteral("rsa.v2.ppk")));
        setJob(QStringLiteral("password"), QStringLiteral("wrong"));
        QCOMPARE(run(dir, 0, "by key"), QString());
        QCOMPARE(readFile(m_s.remote(dir + QLatin1Char('/') + F)), QByteArray("by key"));
    }

    void failuresNameTheirStep_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("reason");
        const QString keys = sftptest::sshd().keys + QLatin1Char('/');
        QTest::newRow("wrong password") << "password"
                                        << "wrong" << kSftpPasswordAuthFailed << "Access denied";
        QTest::newRow("missing key file")
            << "keyfile" << keys + "absent.ppk" << kSftpKeyReadFailed << "No such file";
        QTest::newRow("not a key")
            << "keyfile" << keys + "not-a-key.txt" << kSftpKeyLoadFailed << "not a private key";
        QTest::newRow("encrypted key")
            << "keyfile" << keys + "encrypted.v3.ppk" << kSftpKeyLoadFailed << "passphrase";
        QTest::newRow("key not accepted")
            << "keyfile" << keys + "id_unauthorized" << kSftpKeyAuthFailed << "Access denied";
        QTest::newRow("closed port") << "port" << QString::number([] {
            SilentSshServer s;
            return s.port();
        }()) << kSftpConnectFailed << "Connection refused";
    }

    void failuresNameTheirStep()
    {
        QFETCH(QString, field);
        QFETCH(QString, value);
        QFETCH(QString, expected);
        QFETCH(QString, reason);
        const QString dir = sftptest::freshRemoteFolder(m_s, QStringLiteral("sftp-dest-fail"));
        setJob(field, value);
        const QString error = run(dir, 0, "x");
        QVERIFY2(error.startsWith(QStringLiteral("Exception : ") + expected), qPrintable(error));
        QVERIFY2(error.contains(reason), qPrintable(error));
        QCOMPARE(listing(dir), QStringList());
        QVERIFY(QFile::exists(m_tmp.filePath(F)));
    }

    void portThatIsNotANumberFailsWithTheConversionError()
    {
        setJob(QStringLiteral("port"), QStringLiteral("22a"));
        const QString error = run(QStringLiteral("sftp-dest-port"), 0, "x");
        QVERIFY2(error.startsWith(QStringLiteral("EConvertError : ")), qPrintable(error));
    }

    void subFolderThatCannotBeCreatedFails()
    {
        const QString error = run(QStringLiteral("no/such/parent"), 0, "x");
        QVERIFY2(error.startsWith(QStringLiteral("Exception : ") + kSftpFolderFailed),
                 qPrintable(error));
    }

    void changedHostKeyIsRefusedAndNothingIsUploaded()
    {
        const QString dir = sftptest::freshRemoteFolder(m_s, QStringLiteral("sftp-dest-hostkey"));
        const QByteArray otherKey = readFile(m_s.key(QStringLiteral("id_unauthorized.pub")));
        QVERIFY(writeFile(platform::installFolder() + QStringLiteral("known_hosts"),
                          QStringLiteral("[127.0.0.1]:%1 ").arg(m_s.port).toUtf8() +
                              otherKey.left(otherKey.lastIndexOf(' ')) + '\n'));
        const QString error = run(dir, 0, "x");
        QFile::remove(platform::installFolder() + QStringLiteral("known_hosts"));
        QVERIFY2(error.startsWith(QStringLiteral("Exception : ") + kSftpConnectFailed),
                 qPrintable(error));
        QVERIFY2(error.contains(m_s.hostKeySha256), qPrintable(error));
        QCOMPARE(listing(dir), QStringList());
    }

    void silentServerFailsWithinTheConnectTimeout()
    {
        SilentSshServer silent;
        setJob(QStringLiteral("port"), QString::number(silent.port()));
        QElapsedTimer t;
        t.start();
        const QString error = run(QStringLiteral("sftp-dest-silent"), 0, "x");
        QVERIFY2(t.elapsed() < 15000 + 15000, qPrintable(QString::number(t.elapsed())));
        QVERIFY2(error.startsWith(QStringLiteral("Exception : ") + kSftpConnectFailed),
                 qPrintable(error));
    }
};

QTEST_GUILESS_MAIN(SftpBackUpTest)
#include "SftpBackUpTest.moc"
