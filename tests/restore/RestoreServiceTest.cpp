// End to end: the real service backs a tree up twice, into a local folder, to the sshd and
// to the FTP servers on 127.0.0.1 (passive and active), with generations, as ZIP and as 7z with a
// password; the restore finds both generations through the job's row, downloads each once and gives
// it back as it was when it was stored.

#include "restore/Generations.h"
#include "restore/Restore.h"
#include "restore/RestoreTree.h"
#include "service/support/Archives.h"
#include "service/support/ServiceRunner.h"
#include "shared/JobTable.h"
#include "transfer/ftp/FtpTestSupport.h"
#include "transfer/sftp/SshdFixture.h"

#include <QtTest>

using namespace norvex;
using namespace norvex::testing;
using namespace restoretest;

namespace {

const QString kPassword = QStringLiteral("pa ss wörd");

void removeTree(const QString &path)
{
    // Qt's removal cannot name a file whose name is not UTF-8.
    QProcess::execute(QStringLiteral("rm"), {QStringLiteral("-rf"), path});
}

restore::JobLocation locationOf(const QString &home, const QString &name)
{
    shared::TMlb2 table;
    shared::setupJobTable(table);
    table.LoadFromFile(shared::jobTablePath(home));
    for (bool more = table.First(); more; more = table.Next())
        if (table.FieldByName(QStringLiteral("backupname")) == name)
            return restore::JobLocation::fromJobRow(table, home);
    return {};
}

} // namespace

class RestoreServiceTest : public QObject
{
    Q_OBJECT

private slots:
    void restoresEachGeneration_data()
    {
        QTest::addColumn<QString>("destination");
        QTest::addColumn<bool>("sevenZ");
        QTest::addColumn<qint64>("precisionNs");
        QTest::addColumn<QString>("ftpServer");
        QTest::addColumn<QString>("ftpMode");
        for (const char *destination : {"Local", "SFTP"}) {
            QTest::addRow("%s zip", destination)
                << destination << false << qint64(2000000000) << QString() << QString();
            QTest::addRow("%s 7z with a password", destination)
                << destination << true << qint64(100) << QString() << QString();
        }
        QTest::newRow("FTP zip, pyftpdlib, passive")
            << "FTP" << false << qint64(2000000000) << "pyftpdlib"
            << "passive";
        QTest::newRow("FTP 7z with a password, pure-ftpd, active")
            << "FTP" << true << qint64(100) << "pure-ftpd"
            << "active";
    }
    void restoresEachGeneration()
    {
        QFETCH(QString, destination);
        QFETCH(bool, sevenZ);
        QFETCH(qint64, precisionNs);
        QFETCH(QString, ftpServer);
        QFETCH(QString, ftpMode);
        const bool sftp = destination == QLatin1String("SFTP");
        const bool ftp = destination == QLatin1String("FTP");
        const QString name = destination + (ftp ? QStringLiteral("-") + ftpServer : QString()) +
                             (sevenZ ? QStringLiteral("-daily7") : QStringLiteral("-web.site"));
        const QString home = QString::fromLocal8Bit(qgetenv("NORVEX_HOME")) + QLatin1Char('/') +
                             name + QLatin1Char('/');
        removeTree(home);
        QVERIFY(QDir().mkpath(home + QStringLiteral("Log")));
        const QString tmp = home + QStringLiteral("tmp");
        const QString dest = home + QStringLiteral("dest");
        const QByteArray src = QFile::encodeName(home + QStringLiteral("src"));
        QVERIFY(QDir().mkpath(tmp) && QDir().mkpath(dest));
        QVERIFY(norvex::testing::writeFile(home + QStringLiteral("Norvex.ini"),
                                           "[Option]\r\nTmpFolder=" + tmp.toUtf8() + "\r\n\r\n"));
        makeTree(src, 1);
        const Snapshot older = snapshot(src);

        const QString firstText = shared::formatDateTime(QDateTime::currentDateTime().addSecs(-30));
        JobValues job = fullJob(name, {QString::fromUtf8(src)}, dest, firstText);
        job[QStringLiteral("op1")] = QStringLiteral("-1");
        job[QStringLiteral("op1val")] = QStringLiteral("sub");
        job[QStringLiteral("op3")] = QStringLiteral("-1");
        job[QStringLiteral("op3val")] = QStringLiteral("2");
        const sftptest::Sshd sshd = sftptest::sshd();
        if (sftp) {
            if (!sshd.ok)
                QFAIL("the sshd fixture is not running (tests/servers/sshd-start.sh)");
            job[QStringLiteral("tobackup")] = destination;
            job[QStringLiteral("hostname")] = QStringLiteral("127.0.0.1");
            job[QStringLiteral("port")] = QString::number(sshd.port);
            job[QStringLiteral("username")] = sshd.user;
            job[QStringLiteral("password")] = sshd.password;
            job[QStringLiteral("op1val")] = QStringLiteral("restore-") + name;
            removeTree(sshd.remote(job[QStringLiteral("op1val")]));
        }
        const FtpServer server = ftp ? ::ftpServer(ftpServer) : FtpServer{};
        if (ftp) {
            if (server.port.isEmpty())
                QFAIL("the FTP servers are not running (fixture FtpServersStart)");
            job[QStringLiteral("tobackup")] = destination;
            job[QStringLiteral("hostname")] = QStringLiteral("127.0.0.1");
            job[QStringLiteral("port")] = server.port;
            job[QStringLiteral("username")] = server.user;
            job[QStringLiteral("password")] = server.password;
            job[QLatin1String(shared::FtpModeField)] = ftpMode;
            job[QLatin1String(shared::FtpSecurityField)] = QStringLiteral("none");
            job[QStringLiteral("op1val")] = QStringLiteral("restore-") + name;
            removeTree(server.root + QStringLiteral("/restore-") + name);
        }
        if (sevenZ) {
            job[QStringLiteral("op4")] = QStringLiteral("1");
            job[QStringLiteral("op2")] = QStringLiteral("-1");
            job[QStringLiteral("op2val")] = kPassword;
        }
        QVERIFY(writeJobs(home, {job}));

        ServiceRunner service(home);
        QVERIFY(service.start());
        const QString closing = QStringLiteral("^I\\t") + esc(name) +
                                QStringLiteral(" バックアップ処理を終了しました。");
        QVERIFY(service.waitForEntries(closing, 1, 60000));
        // The second generation: changed content, a changed mode, a new file.
        put(src + "/run me.sh", "#!/bin/sh\necho 2\n", 0700, 1700009000);
        put(src + "/日本語のフォルダ/新しい.txt", "新", 0640, 1700009100);
        const timespec t[2] = {{1690000000, 0}, {1690000000, 0}};
        QCOMPARE(::utimensat(AT_FDCWD, (src + "/日本語のフォルダ").constData(), t, 0), 0);
        const Snapshot newer = snapshot(src);
        QList<JobValues> jobs = readJobs(home);
        QCOMPARE(jobs.size(), 1);
        jobs[0][QStringLiteral("backupdt")] = firstText;
        QVERIFY(writeJobs(home, jobs));
        QVERIFY(service.waitForEntries(closing, 2, 60000));
        QVERIFY(service.stop());

        const restore::JobLocation location = locationOf(home, name);
        QCOMPARE(location.folder,
                 sftp || ftp ? QStringLiteral("restore-") + name : dest + QStringLiteral("/sub"));
        QCOMPARE(location.archivePassword, sevenZ ? kPassword : QString());
        QList<restore::Generation> generations;
        QString error;
        QVERIFY2(restore::listGenerations(location, generations, error), qPrintable(error));
        QCOMPARE(generations.size(), 2);
        QCOMPARE(generations.at(0).number, 1);
        QCOMPARE(generations.at(1).number, 2);

        for (const auto &[generation, expected] :
             {std::pair{generations.at(0), newer}, std::pair{generations.at(1), older}}) {
            std::unique_ptr<restore::FetchedArchive> fetched =
                restore::fetchGeneration(location, generation, tmp, error);
            QVERIFY2(fetched, qPrintable(error));
            const QString downloaded = fetched->path();
            if (sftp || ftp) {
                QCOMPARE(QFileInfo(downloaded).path(), tmp);
                // Owner, group, others: only the owner may read it.
                QCOMPARE(QFileInfo(downloaded).permissions() & 0x7077,
                         QFile::ReadOwner | QFile::WriteOwner);
            }
            restore::RestoreArchive archive;
            QVERIFY2(archive.open(fetched->path(), restore::kindOf(generation.fileName),
                                  location.archivePassword),
                     qPrintable(archive.errorText()));
            restore::RestoreOptions options;
            options.target = restore::defaultTarget(home, name, QDateTime::currentDateTime()) +
                             QString::number(generation.number);
            const restore::RestoreSummary summary = archive.restore(options);
            QVERIFY2(summary.succeeded() && summary.skipped.isEmpty(), qPrintable(summary.error));
            compareTrees(snapshot(QFile::encodeName(options.target) + src), expected, precisionNs);
            // A download goes with its object; a local generation stays.
            fetched.reset();
            QCOMPARE(QFile::exists(downloaded), !sftp && !ftp);
        }
        if (sftp || ftp) {
            // A download that ends short of the listed size (the file was cut on the server
            // after the listing) is an error and leaves nothing in the temporary folder.
            const QString stored = (sftp ? sshd.home : server.root) + QLatin1Char('/') +
                                   location.folder + QLatin1Char('/') + generations.at(0).fileName;
            QVERIFY(QFile::resize(stored, generations.at(0).size / 2));
            QVERIFY(!restore::fetchGeneration(location, generations.at(0), tmp, error));
            QVERIFY2(error.contains(QStringLiteral("途中で終わりました")), qPrintable(error));
            QCOMPARE(QDir(tmp).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                     QStringList());
        }
        removeTree(home);
    }
};

QTEST_GUILESS_MAIN(RestoreServiceTest)
#include "RestoreServiceTest.moc"
