// The FTP destination step against pyftpdlib and pure-ftpd on 127.0.0.1
// (tests/servers/ftp-start.sh): sub-folders, generations, replacing F, failures.
#include "service/FtpBackUp.h"
#include "NeedsRoot.h"
#include "StuckFile.h"
#include "fakes/FakeFtpServer.h"
#include "shared/JobTable.h"
#include "shared/mlb2.h"
#include "transfer/ftp/FtpTestSupport.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

using namespace norvex;
using namespace norvex::service;

namespace {

const QString F = QStringLiteral("Norvex-daily.zip");

QString gen(int k)
{
    return generationName(F, k);
}

} // namespace

class FtpBackUpTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_tmp;
    shared::TMlb2 m_job;
    FtpServer m_server;
    std::unique_ptr<FakeFtpServer> m_fake;

    void useServer()
    {
        QFETCH(QString, server);
        m_server = ftpServer(server);
        if (m_server.port.isEmpty())
            qFatal("FTP test servers are not running (fixture FtpServersStart)");
        setJob(m_server.port, m_server.user, m_server.password);
    }

    // The job row copy of an FTP job to 127.0.0.1.
    void setJob(const QString &port, const QString &user, const QString &password)
    {
        m_job.ClearTable();
        for (const QString &field : shared::jobFieldNames())
            m_job.AddField(field);
        m_job.AppendRecord();
        m_job.SetFieldByName(QStringLiteral("backupname"), QStringLiteral("daily"));
        m_job.SetFieldByName(QStringLiteral("tobackup"), QStringLiteral("FTP"));
        m_job.SetFieldByName(QStringLiteral("hostname"), QStringLiteral("127.0.0.1"));
        m_job.SetFieldByName(QStringLiteral("port"), port);
        m_job.SetFieldByName(QStringLiteral("username"), user);
        m_job.SetFieldByName(QStringLiteral("password"), password);
    }

    // One of tests/fakes/ftp_fakes.py serving root, for the rest of the test function.
    void useFake(const QString &name, const QString &root)
    {
        m_fake = std::make_unique<FakeFtpServer>(name, QStringList{root});
        QVERIFY(!m_fake->port().isEmpty());
        m_server = FtpServer{name, m_fake->port(), root, QStringLiteral("u"), QStringLiteral("p")};
        setJob(m_fake->port(), QStringLiteral("u"), QStringLiteral("p"));
    }

    // A fresh folder below the login folder that the server's user may write to.
    QString newRemoteFolder()
    {
        const QString name = uniqueName(QStringLiteral("dest"));
        const QString path = m_server.root + QLatin1Char('/') + name;
        QDir().mkpath(path);
        QFile::setPermissions(path, QFileDevice::Permissions(0x7777));
        return name;
    }

    QString remote(const QString &folder, const QString &name) const
    {
        return m_server.root + QLatin1Char('/') + folder + QLatin1Char('/') + name;
    }

    // Runs the step with a fresh archive; "" on success, else className + " : " + message.
    QString run(const QString &folder, int generations, const QByteArray &archive,
                std::function<void(qint64)> onProgress = {})
    {
        const QString path = m_tmp.filePath(F);
        writeFile(path, archive);
        const TransferContext ctx{m_job,  0,           path,
                                  F,      QString(),   !folder.isEmpty(),
                                  folder, generations, std::move(onProgress)};
        try {
            FtpBackUp(ctx);
        } catch (const shared::Exception &e) {
            return e.className() + QStringLiteral(" : ") + e.message();
        }
        if (QFile::exists(path))
            return QStringLiteral("archive left in the temporary folder");
        return QString();
    }

    QByteArray contentOf(const QString &folder, const QString &name) const
    {
        QFile f(remote(folder, name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }

    QStringList listing(const QString &folder) const
    {
        return QDir(m_server.root + QLatin1Char('/') + folder)
            .entryList(QDir::Files | QDir::Hidden, QDir::Name);
    }

private slots:
    void initTestCase() { QVERIFY(m_tmp.isValid()); }
    void cleanup() { m_fake.reset(); }

    void withoutGenerationsTheNewArchiveReplacesF_data() { addFtpServerRows(); }
    void withoutGenerationsTheNewArchiveReplacesF()
    {
        useServer();
        const QString folder = newRemoteFolder();
        const QByteArray first = randomBytes(50000);
        QCOMPARE(run(folder, 0, first), QString());
        QCOMPARE(listing(folder), QStringList{F});
        QVERIFY(contentOf(folder, F) == first);
        const QByteArray second = randomBytes(70001);
        QCOMPARE(run(folder, 0, second), QString());
        QCOMPARE(listing(folder), QStringList{F});
        QVERIFY(contentOf(folder, F) == second);
    }

    void threeGenerationsRotate_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<int>("existing");
        for (const char *server : {"pyftpdlib", "pure-ftpd"}) {
            for (int existing : {0, 1, 3})
                QTest::addRow("%s, %d existing", server, existing)
                    << QString::fromLatin1(server) << existing;
        }
    }
    void threeGenerationsRotate()
    {
        QFETCH(int, existing);
        useServer();
        const QString folder = newRemoteFolder();
        for (int k = 1; k <= existing; ++k)
            QVERIFY(writeFile(remote(folder, gen(k)), "old " + QByteArray::number(k)));
        const QByteArray archive = randomBytes(123457);
        QCOMPARE(run(folder, 3, archive), QString());

        QVERIFY(contentOf(folder, gen(1)) == archive);
        QStringList expected{gen(1)};
        if (existing >= 1) {
            QCOMPARE(contentOf(folder, gen(2)), QByteArray("old 1"));
            expected << gen(2);
        }
        if (existing >= 3) {
            QCOMPARE(contentOf(folder, gen(3)), QByteArray("old 2"));
            expected << gen(3);
        }
        QCOMPARE(listing(folder), expected); // the oldest is gone, no ".part" is left
    }

    void existingSubFolderIsEnteredAfterASilentMkdFailure_data() { addFtpServerRows(); }
    void existingSubFolderIsEnteredAfterASilentMkdFailure()
    {
        useServer();
        const QString folder = newRemoteFolder(); // exists before the run
        QCOMPARE(run(folder, 2, "archive"), QString());
        QCOMPARE(contentOf(folder, gen(1)), QByteArray("archive"));

        // A sub-folder the step creates itself.
        const QString fresh = uniqueName(QStringLiteral("fresh"));
        QCOMPARE(run(fresh, 0, "created"), QString());
        QCOMPARE(contentOf(fresh, F), QByteArray("created"));
    }

    void failedUploadLeavesEveryGenerationAsItWas_data() { addFtpServerRows(); }
    void failedUploadLeavesEveryGenerationAsItWas()
    {
        useServer();
        const QString folder = newRemoteFolder();
        QVERIFY(writeFile(remote(folder, gen(1)), "old 1"));
        QVERIFY(writeFile(remote(folder, gen(2)), "old 2"));
        // A folder in the way of the ".part" name: the server refuses the STOR.
        QVERIFY(QDir().mkpath(remote(folder, gen(1) + QStringLiteral(".part"))));
        const QString error = run(folder, 2, "new");
        QVERIFY2(
            error.startsWith(QStringLiteral("Exception : ") + kFtpUploadFailed + QLatin1Char('5')),
            qPrintable(error));
        QCOMPARE(contentOf(folder, gen(1)), QByteArray("old 1"));
        QCOMPARE(contentOf(folder, gen(2)), QByteArray("old 2"));
        QVERIFY(QFile::exists(m_tmp.filePath(F))); // the archive stays for the next run
    }

    void wrongPasswordFailsTheConnectStep_data() { addFtpServerRows(); }
    void wrongPasswordFailsTheConnectStep()
    {
        useServer();
        m_job.SetFieldByName(QStringLiteral("password"), QStringLiteral("wrong"));
        const QString error = run(QString(), 0, "x");
        QVERIFY2(error.startsWith(
                     QStringLiteral("Exception : FTPサーバに接続できませんでした。 \r\n530")),
                 qPrintable(error));
        QVERIFY(QFile::exists(m_tmp.filePath(F)));
    }

    // Whatever the server refuses, a run either publishes the new archive or leaves every
    // stored file as it was: nothing is deleted before the new archive has its name.
    void publishingNeverLosesAStoredFile_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<int>("generations");
        QTest::addColumn<int>("stuck"); // generation that cannot be moved, 0: none
        QTest::addColumn<bool>("published");
        QTest::newRow("no RNTO over a file, F") << "RenameRefusingServer" << 0 << 0 << true;
        QTest::newRow("no RNTO over a file, G=3") << "RenameRefusingServer" << 3 << 0 << true;
        QTest::newRow(".part refused, F") << "PublishRefusingServer" << 0 << 0 << false;
        QTest::newRow(".part refused, G=3") << "PublishRefusingServer" << 3 << 0 << false;
        QTest::newRow("pyftpdlib, gen 1 stuck") << "pyftpdlib" << 3 << 1 << false;
        QTest::newRow("pure-ftpd, gen 1 stuck") << "pure-ftpd" << 3 << 1 << false;
    }
    void publishingNeverLosesAStoredFile()
    {
        QFETCH(QString, server);
        QFETCH(int, generations);
        QFETCH(int, stuck);
        QFETCH(bool, published);
        QTemporaryDir root;
        std::unique_ptr<FakeFtpServer> fake;
        QString folder;
        if (server.endsWith(QLatin1String("Server"))) {
            fake = std::make_unique<FakeFtpServer>(server, QStringList{root.path()});
            QVERIFY(!fake->port().isEmpty());
            m_server = FtpServer{server, fake->port(), root.path(), QStringLiteral("u"),
                                 QStringLiteral("p")};
            setJob(fake->port(), QStringLiteral("u"), QStringLiteral("p"));
        } else {
            m_server = ftpServer(server);
            setJob(m_server.port, m_server.user, m_server.password);
            folder = newRemoteFolder();
        }
        const QStringList old =
            generations > 0 ? QStringList{gen(1), gen(2), gen(3)} : QStringList{F};
        for (const QString &name : old)
            QVERIFY(writeFile(remote(folder, name), "old " + name.toUtf8()));
        const QStringList before = listing(folder);
        QString error;
        {
            std::unique_ptr<norvex::tests::StuckFile> busy;
            if (stuck > 0) {
                SKIP_UNLESS_ROOT(
                    "a file that cannot move is made with a bind mount, which needs root");
                busy = std::make_unique<norvex::tests::StuckFile>(remote(folder, gen(stuck)));
                QVERIFY2(busy->ok(), "bind mount failed");
            }
            error = run(folder, generations, "new");
        }
        if (!published) {
            QVERIFY2(error.startsWith(QStringLiteral("Exception : ") + kFtpUploadFailed),
                     qPrintable(error));
            QCOMPARE(listing(folder), before);
            for (const QString &name : old)
                QCOMPARE(contentOf(folder, name), "old " + name.toUtf8());
            return;
        }
        QCOMPARE(error, QString());
        QCOMPARE(listing(folder), before); // no ".part", no file moved aside is left
        QCOMPARE(contentOf(folder, old.first()), QByteArray("new"));
        if (generations > 0) {
            QCOMPARE(contentOf(folder, gen(2)), "old " + gen(1).toUtf8());
            QCOMPARE(contentOf(folder, gen(3)), "old " + gen(2).toUtf8());
        }
    }

    // A server that carries out the n-th RNTO and answers "550 Rename failed.": the undo
    // never renames over the moved file, the error says where the files are, and the next
    // run puts them in order without losing one of the newest three.
    void renameDoneButFailedCostsNothing_data()
    {
        QTest::addColumn<int>("failing");
        for (int n = 1; n <= 4; ++n) // oldest aside, 2 -> 3, 1 -> 2, publish
            QTest::addRow("rename %d", n) << n;
    }
    void renameDoneButFailedCostsNothing()
    {
        QFETCH(int, failing);
        QTemporaryDir root;
        FakeFtpServer fake(QStringLiteral("RenameDoneButFailedServer"),
                           {root.path(), QString::number(failing)});
        QVERIFY(!fake.port().isEmpty());
        m_server = FtpServer{QString(), fake.port(), root.path(), QStringLiteral("u"),
                             QStringLiteral("p")};
        setJob(fake.port(), QStringLiteral("u"), QStringLiteral("p"));
        QStringList published{QStringLiteral("old1"), QStringLiteral("old2"),
                              QStringLiteral("old3")};
        for (int k = 1; k <= 3; ++k)
            QVERIFY(writeFile(remote(QString(), gen(k)), published[k - 1].toUtf8()));

        const QString error = run(QString(), 3, "cut");
        QVERIFY2(error.startsWith(QStringLiteral("Exception : ") + kFtpUploadFailed +
                                  QStringLiteral("550 Rename failed.")),
                 qPrintable(error));
        QStringList there;
        for (const QString &name : listing(QString()))
            there << QString::fromUtf8(contentOf(QString(), name));
        for (const QString &old : std::as_const(published))
            QVERIFY2(there.contains(old), qPrintable(there.join(QLatin1Char(' '))));
        if (failing > 1) // some move could not be undone: the text says where it is
            QVERIFY2(error.contains(QStringLiteral("元に戻せませんでした")), qPrintable(error));
        if (there.contains(QStringLiteral("cut")))
            published.prepend(QStringLiteral("cut"));

        QCOMPARE(run(QString(), 3, "last"), QString());
        published.prepend(QStringLiteral("last"));
        QCOMPARE(listing(QString()), (QStringList{gen(1), gen(2), gen(3)}));
        for (int k = 1; k <= 3; ++k)
            QCOMPARE(QString::fromUtf8(contentOf(QString(), gen(k))), published[k - 1]);
    }

    // A server that answers 226 for a copy one byte short: the size check fails the
    // transfer with both sizes, removes the ".part" and touches no generation.
    void copyOneByteShortFailsWithBothSizes_data()
    {
        QTest::addColumn<int>("generations");
        QTest::newRow("F") << 0;
        QTest::newRow("G=3") << 3;
    }
    void copyOneByteShortFailsWithBothSizes()
    {
        QFETCH(int, generations);
        QTemporaryDir root;
        useFake(QStringLiteral("OneByteShortServer"), root.path());
        const QStringList old =
            generations > 0 ? QStringList{gen(1), gen(2), gen(3)} : QStringList{F};
        for (const QString &name : old)
            QVERIFY(writeFile(remote(QString(), name), "old " + name.toUtf8()));
        const QStringList before = listing(QString());

        const QString error = run(QString(), generations, randomBytes(100000));
        QCOMPARE(error, QStringLiteral("Exception : ") + kFtpUploadFailed +
                            sizeMismatchText(99999, 100000));
        QCOMPARE(listing(QString()), before);
        for (const QString &name : old)
            QCOMPARE(contentOf(QString(), name), "old " + name.toUtf8());
        QVERIFY(QFile::exists(m_tmp.filePath(F))); // kept for the next try
    }

    // Without SIZE the step reads sizes from MLST, and without that from LIST; rotation
    // and the size check work the same.
    void serverWithoutSizeStillRotates_data()
    {
        QTest::addColumn<QString>("server");
        QTest::newRow("MLST") << QStringLiteral("WithoutSizeServer");
        QTest::newRow("LIST") << QStringLiteral("WithoutSizeOrMlstServer");
    }
    void serverWithoutSizeStillRotates()
    {
        QFETCH(QString, server);
        QTemporaryDir root;
        useFake(server, root.path());
        QVERIFY(writeFile(remote(QString(), gen(1)), "old 1"));
        const QByteArray first = randomBytes(70000);
        const QByteArray second = randomBytes(1234567);
        QCOMPARE(run(QString(), 3, first), QString());
        QCOMPARE(run(QString(), 3, second), QString());
        QCOMPARE(listing(QString()), (QStringList{gen(1), gen(2), gen(3)}));
        QVERIFY(contentOf(QString(), gen(1)) == second);
        QVERIFY(contentOf(QString(), gen(2)) == first);
        QCOMPARE(contentOf(QString(), gen(3)), QByteArray("old 1"));
    }

    void progressEndsAtTheArchiveSize_data() { addFtpServerRows(); }
    void progressEndsAtTheArchiveSize()
    {
        useServer();
        const QString folder = newRemoteFolder();
        QList<qint64> seen;
        const QByteArray archive = randomBytes(3 << 20);
        QCOMPARE(run(folder, 2, archive, [&](qint64 bytes) { seen << bytes; }), QString());
        QVERIFY(!seen.isEmpty());
        QCOMPARE(seen.last(), archive.size());
        QVERIFY(std::is_sorted(seen.begin(), seen.end()));
    }

    // A ".part" left by a run that was cut short goes before the new upload, also one the
    // server's user may not overwrite (pure-ftpd writes as nobody).
    void leftOverPartIsRemovedFirst_data() { addFtpServerRows(); }
    void leftOverPartIsRemovedFirst()
    {
        useServer();
        const QString folder = newRemoteFolder();
        QVERIFY(writeFile(remote(folder, F + QStringLiteral(".part")), "cut short"));
        QVERIFY(QFile::setPermissions(remote(folder, F + QStringLiteral(".part")),
                                      QFileDevice::ReadOwner));
        QCOMPARE(run(folder, 0, "new"), QString());
        QCOMPARE(listing(folder), QStringList{F});
    }

    void silentServerFailsTheConnectStepWithTheTimeout()
    {
        FakeFtpServer fake(QStringLiteral("SilentServer"));
        QVERIFY(!fake.port().isEmpty());
        setJob(fake.port(), QStringLiteral("u"), QStringLiteral("p"));
        QCOMPARE(run(QString(), 0, "x"),
                 QStringLiteral("Exception : FTPサーバに接続できませんでした。 \r\n426 Timeout"));
        QVERIFY(QFile::exists(m_tmp.filePath(F)));
    }

    // Nothing is tried with a security setting this program does not understand: the
    // unreachable port would give a connect error if it were.
    void unknownSecurityTextFailsBeforeAnyConnection()
    {
        setJob(QStringLiteral("1"), QStringLiteral("u"), QStringLiteral("p"));
        m_job.AddField(QLatin1String(shared::FtpSecurityField));
        m_job.SetFieldByName(QLatin1String(shared::FtpSecurityField), QStringLiteral("implicit"));
        QCOMPARE(run(QString(), 0, "x"),
                 QStringLiteral("Exception : FTPサーバに接続できませんでした。 \r\n"
                                "'implicit' is not a valid FTP encryption"));
        QVERIFY(QFile::exists(m_tmp.filePath(F)));
    }

    void unreachableServerFailsTheConnectStep()
    {
        setJob(QStringLiteral("1"), QStringLiteral("u"), QStringLiteral("p"));
        QCOMPARE(run(QString(), 0, "x"),
                 QStringLiteral("Exception : FTPサーバに接続できませんでした。 \r\n"
                                "500 Connect error - Connection refused (#10061)"));
    }
};

QTEST_GUILESS_MAIN(FtpBackUpTest)
#include "FtpBackUpTest.moc"
