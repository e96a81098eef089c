// norvexctl's job commands, log and command line against a real installation folder.
#include "ctl/CtlRunner.h"
#include "shared/JobTable.h"
#include "shared/mlb2.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <sys/stat.h>

using namespace norvex;
using namespace norvex::testing;

namespace {

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(data);
}

// The job's stored fields by name; empty when there is no such job.
QHash<QString, QString> storedJob(const QString &home, const QString &name)
{
    shared::TMlb2 table;
    shared::setupJobTable(table);
    table.LoadFromFile(shared::jobTablePath(home));
    for (int n = 1; n <= table.RecordCount(); ++n) {
        table.GoToRecord(n);
        if (table.FieldByName(QStringLiteral("backupname")) != name)
            continue;
        QHash<QString, QString> job;
        for (int f = 1; f <= table.FieldCount(); ++f)
            job.insert(table.FieldName(f), table.Cell(f, n));
        return job;
    }
    return {};
}

} // namespace

class NorvexCtlTest : public QObject
{
    Q_OBJECT

private slots:
    void addRefusesAsTheEditor_data();
    void addRefusesAsTheEditor();
    void addStoresEveryInput();
    void changeAndDelete_data();
    void changeAndDelete();
    void usageErrors_data();
    void usageErrors();
    void passwordIsNeverOnTheCommandLine();
    void logFilters_data();
    void logFilters();
    void logFollowShowsNewEntries();
};

void NorvexCtlTest::addRefusesAsTheEditor_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<QString>("text");
    const QString src = QStringLiteral("/etc/hostname");
    const QStringList local = {QStringLiteral("--local"), QStringLiteral("/tmp")};
    QTest::newRow("no name") << (QStringList{QString()} + local << src) << QByteArray()
                             << "バックアップ名称は必須項目です。";
    QTest::newRow("slash") << (QStringList{QStringLiteral("a/b")} + local << src) << QByteArray()
                           << "バックアップ名称に「/」や制御文字は使用できません。";
    QTest::newRow("control character")
        << (QStringList{QStringLiteral("a\tb")} + local << src) << QByteArray()
        << "バックアップ名称に「/」や制御文字は使用できません。";
    QTest::newRow("generation suffix")
        << (QStringList{QStringLiteral("x-1-")} + local << src) << QByteArray()
        << "バックアップ名称の末尾に「-数字-」（例：「-1-」）は使用できません。";
    QTest::newRow("taken") << (QStringList{QStringLiteral("taken")} + local << src) << QByteArray()
                           << "同じバックアップ名称がすでに存在します。";
    QTest::newRow("no source, no host: the source first")
        << QStringList{QStringLiteral("n")} << QByteArray()
        << "バックアップ対象フォルダ、ファイルが選択されていません。";
    QTest::newRow("no host") << QStringList{QStringLiteral("n"), src} << QByteArray()
                             << "ホスト名は必須項目です。";
    QTest::newRow("no user") << QStringList{QStringLiteral("n"), QStringLiteral("--sftp"),
                                            QStringLiteral("@h"), src}
                             << QByteArray() << "ユーザ名は必須項目です。";
    QTest::newRow("no password, also with a key")
        << QStringList{QStringLiteral("n"),     QStringLiteral("--sftp"), QStringLiteral("u@h"),
                       QStringLiteral("--key"), QStringLiteral("/k"),     src}
        << QByteArray() << "パスワードは必須項目です。";
    QTest::newRow("empty FTP password")
        << QStringList{QStringLiteral("n"),   QStringLiteral("--ftp"),
                       QStringLiteral("u@h"), QStringLiteral("--password-file"),
                       QStringLiteral("-"),   src}
        << QByteArray("\n") << "パスワードは必須項目です。";
    QTest::newRow("no local folder")
        << QStringList{QStringLiteral("n"), QStringLiteral("--local"), QString(), src}
        << QByteArray() << "バックアップ保存先フォルダを選択してください。";
    QTest::newRow("no folder name") << (QStringList{QStringLiteral("n")} + local
                                        << QStringLiteral("--folder") << QString() << src)
                                    << QByteArray() << "作成するフォルダ名を入力してください。";
    QTest::newRow("empty archive password")
        << (QStringList{QStringLiteral("n")} + local << QStringLiteral("--7z")
                                                     << QStringLiteral("--zip-password-file")
                                                     << QStringLiteral("-") << src)
        << QByteArray() << "圧縮時パスワードを入力してください。";
    QTest::newRow("malformed exclude pattern, the last check")
        << (QStringList{QStringLiteral("n")} + local
            << QStringLiteral("--exclude") << QStringLiteral("*.tmp") << QStringLiteral("--exclude")
            << QStringLiteral("*.[ch") << src)
        << QByteArray()
        << "除外するファイル、フォルダの 2 行目「*.[ch」は使用できません。"
           "「[」に対応する「]」がありません。";
}

void NorvexCtlTest::addRefusesAsTheEditor()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, password);
    QFETCH(QString, text);
    const QString home = ctlHome(QStringLiteral("refuse"));
    QCOMPARE(ctl(home, {QStringLiteral("add"), QStringLiteral("taken"), QStringLiteral("--local"),
                        QStringLiteral("/tmp"), QStringLiteral("/etc")})
                 .code,
             0);
    const QByteArray before = readAll(shared::jobTablePath(home));

    const CtlResult result = ctl(home, QStringList{QStringLiteral("add")} + arguments, password);
    QCOMPARE(result.code, 1);
    QCOMPARE(result.err, text + QLatin1Char('\n'));
    QCOMPARE(readAll(shared::jobTablePath(home)), before);
}

void NorvexCtlTest::addStoresEveryInput()
{
    const QString home = ctlHome(QStringLiteral("store"));
    const QString passwordFile = home + QStringLiteral("pw");
    writeFile(passwordFile, "server secret\n");
    const CtlResult ftp = ctl(home,
                              {QStringLiteral("add"),
                               QStringLiteral("ftp job"),
                               QStringLiteral("--ftp"),
                               QStringLiteral("me@[::1]:2121"),
                               QStringLiteral("--password-file"),
                               passwordFile,
                               QStringLiteral("--tls"),
                               QStringLiteral("--active"),
                               QStringLiteral("--every"),
                               QStringLiteral("12h"),
                               QStringLiteral("--start"),
                               QStringLiteral("2030/01/02 03:04"),
                               QStringLiteral("--folder"),
                               QStringLiteral("nightly"),
                               QStringLiteral("--generations"),
                               QStringLiteral("5"),
                               QStringLiteral("--7z"),
                               QStringLiteral("--zip-password-file"),
                               QStringLiteral("-"),
                               QStringLiteral("/etc"),
                               QStringLiteral("/a b")},
                              "zip secret");
    QCOMPARE(ftp.err, QString());
    QCOMPARE(ftp.code, 0);
    const QHash<QString, QString> job = storedJob(home, QStringLiteral("ftp job"));
    const QHash<QString, QString> expected = {
        {"backuplist", "/etc \"/a b\""},
        {"tobackup", "FTP"},
        {"hostname", "[::1]"},
        {"port", "2121"},
        {"username", "me"},
        {"password", "server secret"},
        {"backupint", "12"},
        {"backuptani", "h"},
        {"backupdt", "2030/01/02 03:04:00"},
        {"op1", "-1"},
        {"op1val", "nightly"},
        {"op2", "-1"},
        {"op2val", "zip secret"},
        {"op3", "-1"},
        {"op3val", "5"},
        {"op4", "1"},
        {"ftpmode", "active"},
        {"ftpsecurity", "tls"},
    };
    for (auto it = expected.begin(); it != expected.end(); ++it)
        QCOMPARE(job.value(it.key()), it.value());
    struct stat st;
    QCOMPARE(::stat(QFile::encodeName(shared::jobTablePath(home)).constData(), &st), 0);
    QCOMPARE(st.st_mode & 0777, 0600u);

    // Neither the list nor show prints a password.
    for (const QStringList &args : {QStringList{QStringLiteral("list")},
                                    QStringList{QStringLiteral("list"), QStringLiteral("--json")},
                                    QStringList{QStringLiteral("show"), QStringLiteral("ftp job")},
                                    QStringList{QStringLiteral("show"), QStringLiteral("ftp job"),
                                                QStringLiteral("--json")}}) {
        const CtlResult shown = ctl(home, args);
        QCOMPARE(shown.code, 0);
        QVERIFY2(shown.out.contains(QStringLiteral("ftp job")), qPrintable(shown.out));
        QVERIFY(!shown.out.contains(QStringLiteral("secret")));
    }
    const QJsonArray jobs =
        QJsonDocument::fromJson(
            ctl(home, {QStringLiteral("list"), QStringLiteral("--json")}).out.toUtf8())
            .array();
    QCOMPARE(jobs.size(), 1);
    QCOMPARE(jobs[0][QStringLiteral("generations")].toInt(), 5);
    QCOMPARE(jobs[0][QStringLiteral("sources")].toArray().size(), 2);
}

void NorvexCtlTest::changeAndDelete_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text"); // standard error's first line
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("value"); // of the field afterwards in the job named `b2` or `b`

    QTest::newRow("rename onto another job")
        << QStringList{QStringLiteral("change"), QStringLiteral("b"), QStringLiteral("--name"),
                       QStringLiteral("a")}
        << 1 << "同じバックアップ名称がすでに存在します。"
        << "backupname"
        << "b";
    QTest::newRow("empty name") << QStringList{QStringLiteral("change"), QStringLiteral("b"),
                                               QStringLiteral("--name"), QString()}
                                << 1 << "バックアップ名称は必須項目です。"
                                << "backupname"
                                << "b";
    QTest::newRow("keeping its own name")
        << QStringList{QStringLiteral("change"),        QStringLiteral("b"),
                       QStringLiteral("--name"),        QStringLiteral("b"),
                       QStringLiteral("--generations"), QStringLiteral("3")}
        << 0 << ""
        << "op3val"
        << "3";
    QTest::newRow("rename, sources replaced")
        << QStringList{QStringLiteral("change"),   QStringLiteral("b"),
                       QStringLiteral("--name"),   QStringLiteral("b2"),
                       QStringLiteral("--source"), QStringLiteral("/x"),
                       QStringLiteral("--source"), QStringLiteral("/y")}
        << 0 << ""
        << "backuplist"
        << "/x /y";
    QTest::newRow("untouched interval keeps the stored start")
        << QStringList{QStringLiteral("change"), QStringLiteral("b"), QStringLiteral("--7z")} << 0
        << ""
        << "backupdt"
        << "2031/05/06 07:08:00";
    QTest::newRow("to ZIP drops the archive password")
        << QStringList{QStringLiteral("change"), QStringLiteral("b"), QStringLiteral("--zip")} << 0
        << ""
        << "op2val"
        << "";
    QTest::newRow("another kind starts empty")
        << QStringList{QStringLiteral("change"), QStringLiteral("b"), QStringLiteral("--ftp"),
                       QStringLiteral("u@h")}
        << 1 << "パスワードは必須項目です。"
        << "tobackup"
        << "SFTP";
    QTest::newRow("exclude patterns replace the list")
        << QStringList{QStringLiteral("change"),    QStringLiteral("b"),
                       QStringLiteral("--exclude"), QStringLiteral("node_modules/"),
                       QStringLiteral("--exclude"), QStringLiteral("a b/*.tmp")}
        << 0 << ""
        << "exclude"
        << "node_modules/ \"a b/*.tmp\"";
    QTest::newRow("unknown job") << QStringList{QStringLiteral("change"), QStringLiteral("zz"),
                                                QStringLiteral("--7z")}
                                 << 4 << "バックアップ設定「zz」はありません。"
                                 << "backupname"
                                 << "b";
    QTest::newRow("delete") << QStringList{QStringLiteral("delete"), QStringLiteral("b"),
                                           QStringLiteral("--yes")}
                            << 0 << ""
                            << "backupname"
                            << "";
    QTest::newRow("delete without --yes and without a terminal")
        << QStringList{QStringLiteral("delete"), QStringLiteral("b")} << 2
        << "norvexctl: 削除するには --yes を指定してください。"
        << "backupname"
        << "b";
    QTest::newRow("delete unknown")
        << QStringList{QStringLiteral("delete"), QStringLiteral("zz"), QStringLiteral("--yes")} << 4
        << "バックアップ設定「zz」はありません。"
        << "backupname"
        << "b";
    QTest::newRow("show unknown") << QStringList{QStringLiteral("show"), QStringLiteral("zz")} << 4
                                  << "バックアップ設定「zz」はありません。"
                                  << "backupname"
                                  << "b";
}

void NorvexCtlTest::changeAndDelete()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, code);
    QFETCH(QString, text);
    QFETCH(QString, field);
    QFETCH(QString, value);
    const QString home = ctlHome(QStringLiteral("change"));
    QCOMPARE(ctl(home, {QStringLiteral("add"), QStringLiteral("a"), QStringLiteral("--local"),
                        QStringLiteral("/tmp"), QStringLiteral("/etc")})
                 .code,
             0);
    QCOMPARE(
        ctl(home,
            {QStringLiteral("add"), QStringLiteral("b"), QStringLiteral("--sftp"),
             QStringLiteral("u@h:2222"), QStringLiteral("--password-file"), QStringLiteral("-"),
             QStringLiteral("--start"), QStringLiteral("2031/05/06 07:08"), QStringLiteral("--7z"),
             QStringLiteral("/etc")},
            "pw")
            .code,
        0);
    QCOMPARE(ctl(home,
                 {QStringLiteral("change"), QStringLiteral("b"),
                  QStringLiteral("--zip-password-file"), QStringLiteral("-")},
                 "arc")
                 .code,
             0);

    const CtlResult result = ctl(home, arguments);
    QCOMPARE(result.code, code);
    QCOMPARE(result.err.section(QLatin1Char('\n'), 0, 0), text);
    const QHash<QString, QString> b2 = storedJob(home, QStringLiteral("b2"));
    const QHash<QString, QString> job = b2.isEmpty() ? storedJob(home, QStringLiteral("b")) : b2;
    QCOMPARE(job.value(field), value);
    if (!job.isEmpty())
        QCOMPARE(job.value(QStringLiteral("port")), QStringLiteral("2222")); // a kept input
    QVERIFY(!storedJob(home, QStringLiteral("a")).isEmpty());
}

void NorvexCtlTest::usageErrors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("nothing") << QStringList{};
    QTest::newRow("unknown subcommand") << QStringList{QStringLiteral("frobnicate")};
    QTest::newRow("unknown option") << QStringList{QStringLiteral("list"), QStringLiteral("--x")};
    QTest::newRow("missing value")
        << QStringList{QStringLiteral("add"), QStringLiteral("n"), QStringLiteral("--every")};
    QTest::newRow("interval") << QStringList{QStringLiteral("add"), QStringLiteral("n"),
                                             QStringLiteral("--every"), QStringLiteral("24h")};
    QTest::newRow("generations") << QStringList{QStringLiteral("add"), QStringLiteral("n"),
                                                QStringLiteral("--generations"),
                                                QStringLiteral("8")};
    QTest::newRow("two destinations")
        << QStringList{QStringLiteral("add"), QStringLiteral("n"),      QStringLiteral("--local"),
                       QStringLiteral("/x"),  QStringLiteral("--sftp"), QStringLiteral("u@h")};
    QTest::newRow("key for FTP") << QStringList{QStringLiteral("add"),   QStringLiteral("n"),
                                                QStringLiteral("--ftp"), QStringLiteral("u@h"),
                                                QStringLiteral("--key"), QStringLiteral("/k")};
    QTest::newRow("two passwords from stdin") << QStringList{QStringLiteral("add"),
                                                             QStringLiteral("n"),
                                                             QStringLiteral("--sftp"),
                                                             QStringLiteral("u@h"),
                                                             QStringLiteral("--password-file"),
                                                             QStringLiteral("-"),
                                                             QStringLiteral("--7z"),
                                                             QStringLiteral("--zip-password-file"),
                                                             QStringLiteral("-")};
    QTest::newRow("ZIP with a password") << QStringList{QStringLiteral("add"),
                                                        QStringLiteral("n"),
                                                        QStringLiteral("--local"),
                                                        QStringLiteral("/x"),
                                                        QStringLiteral("--zip-password-file"),
                                                        QStringLiteral("/dev/null")};
    QTest::newRow("port") << QStringList{QStringLiteral("add"), QStringLiteral("n"),
                                         QStringLiteral("--sftp"), QStringLiteral("u@h:port")};
    QTest::newRow("start") << QStringList{QStringLiteral("add"), QStringLiteral("n"),
                                          QStringLiteral("--start"), QStringLiteral("tomorrow")};
    QTest::newRow("level") << QStringList{QStringLiteral("log"), QStringLiteral("--level"),
                                          QStringLiteral("X")};
    QTest::newRow("service action")
        << QStringList{QStringLiteral("service"), QStringLiteral("restart")};
}

void NorvexCtlTest::usageErrors()
{
    QFETCH(QStringList, arguments);
    const QString home = ctlHome(QStringLiteral("usage"));
    const CtlResult result = ctl(home, arguments);
    QCOMPARE(result.code, 2);
    QVERIFY2(result.err.startsWith(QStringLiteral("norvexctl: ")), qPrintable(result.err));
    QCOMPARE(result.out, QString());
    QVERIFY(!QFile::exists(shared::jobTablePath(home)));

    const CtlResult help = ctl(home, {QStringLiteral("--help")});
    QCOMPARE(help.code, 0);
    for (const char *word : {"list", "show", "add", "change", "delete", "run", "check", "log",
                             "service", "--password-file", "--every", "終了コード", "  4  "})
        QVERIFY2(help.out.contains(QString::fromUtf8(word)), word);
}

void NorvexCtlTest::passwordIsNeverOnTheCommandLine()
{
    const QString home = ctlHome(QStringLiteral("cmdline"));
    const QByteArray password = "Pw-" + QByteArray::number(QRandomGenerator::global()->generate());
    QProcess process;
    process.setProcessEnvironment(ctlEnvironment(home));
    process.start(ctlExecutable(),
                  {QStringLiteral("add"), QStringLiteral("p"), QStringLiteral("--sftp"),
                   QStringLiteral("u@h"), QStringLiteral("--password-file"), QStringLiteral("-"),
                   QStringLiteral("/etc")});
    QVERIFY(process.waitForStarted(30000));
    // The process waits for the password: what every user sees in the process list now.
    QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(process.processId()));
    QVERIFY(cmdline.open(QIODevice::ReadOnly));
    const QByteArray shown = cmdline.readAll();
    QVERIFY(shown.contains("--password-file"));
    process.write(password.left(4));
    QTest::qWait(300);
    QVERIFY(cmdline.seek(0));
    const QByteArray shownMeanwhile = cmdline.readAll();
    process.write(password.mid(4) + '\n');
    process.closeWriteChannel();
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitCode(), 0);
    QVERIFY(!shown.contains(password.left(4)));
    QVERIFY(!shownMeanwhile.contains(password.left(4)));
    QCOMPARE(storedJob(home, QStringLiteral("p")).value(QStringLiteral("password")),
             QString::fromLatin1(password));
}

namespace {

// Two days of entries of two jobs.
void writeLog(const QString &home)
{
    const QByteArray header = "logcategory\tlogdate\tlogtext\tlogtextadd\r\n";
    writeFile(home + QStringLiteral("Log/20261208.log"),
              header + "I\t2026/12/08 01:00:00:000\ta started\t\r\n"
                       "E\t2026/12/08 01:00:05:000\ta failed\tConnect\\nrefused\r\n");
    writeFile(home + QStringLiteral("Log/20261209.log"),
              header + "W\t2026/12/09 02:00:00:000\tb warned\t\r\n"
                       "I\t2026/12/09 02:00:01:000\tab other job\t\r\n"
                       "E\t2026/12/09 02:00:02:000\ta failed again\t\r\n");
}

} // namespace

void NorvexCtlTest::logFilters_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("all, newest last") << QStringList{}
                                      << QStringList{"2026/12/08 01:00:00:000 I a started",
                                                     "2026/12/08 01:00:05:000 E a failed",
                                                     "    Connect",
                                                     "    refused",
                                                     "2026/12/09 02:00:00:000 W b warned",
                                                     "2026/12/09 02:00:01:000 I ab other job",
                                                     "2026/12/09 02:00:02:000 E a failed again"};
    QTest::newRow("job") << QStringList{QStringLiteral("--job"), QStringLiteral("a")}
                         << QStringList{"2026/12/08 01:00:00:000 I a started",
                                        "2026/12/08 01:00:05:000 E a failed", "    Connect",
                                        "    refused", "2026/12/09 02:00:02:000 E a failed again"};
    QTest::newRow("warnings and errors")
        << QStringList{QStringLiteral("--level"), QStringLiteral("W")}
        << QStringList{"2026/12/08 01:00:05:000 E a failed", "    Connect", "    refused",
                       "2026/12/09 02:00:00:000 W b warned",
                       "2026/12/09 02:00:02:000 E a failed again"};
    QTest::newRow("since a time, errors of a")
        << QStringList{QStringLiteral("--since"), QStringLiteral("2026/12/08 01:01"),
                       QStringLiteral("--level"), QStringLiteral("E"),
                       QStringLiteral("--job"),   QStringLiteral("a")}
        << QStringList{"2026/12/09 02:00:02:000 E a failed again"};
    QTest::newRow("since a day") << QStringList{QStringLiteral("--since"),
                                                QStringLiteral("2026/12/09"),
                                                QStringLiteral("--job"), QStringLiteral("b")}
                                 << QStringList{"2026/12/09 02:00:00:000 W b warned"};
}

void NorvexCtlTest::logFilters()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, lines);
    const QString home = ctlHome(QStringLiteral("log"));
    writeLog(home);
    const CtlResult result = ctl(home, QStringList{QStringLiteral("log")} + arguments);
    QCOMPARE(result.code, 0);
    QCOMPARE(result.out, lines.join(QLatin1Char('\n')) + QLatin1Char('\n'));
}

void NorvexCtlTest::logFollowShowsNewEntries()
{
    const QString home = ctlHome(QStringLiteral("follow"));
    writeLog(home);
    QProcess process;
    process.setProcessEnvironment(ctlEnvironment(home));
    process.start(ctlExecutable(), {QStringLiteral("log"), QStringLiteral("--follow"),
                                    QStringLiteral("--level"), QStringLiteral("E")});
    QVERIFY(process.waitForStarted(30000));
    QByteArray seen;
    const auto waitFor = [&](const QByteArray &text) {
        QDeadlineTimer deadline(60000);
        while (!seen.contains(text) && !deadline.hasExpired()) {
            process.waitForReadyRead(200);
            seen += process.readAllStandardOutput();
        }
        return seen.contains(text);
    };
    QVERIFY(waitFor("a failed again"));
    QFile day(home + QStringLiteral("Log/20261209.log"));
    QVERIFY(day.open(QIODevice::Append));
    day.write("I\t2026/12/09 02:00:03:000\tquiet\t\r\n"
              "E\t2026/12/09 02:00:02:000\tsame millisecond\t\r\n"
              "E\t2026/12/09 03:00:00:000\tlater\t\r\n");
    day.close();
    QVERIFY2(waitFor("later"), seen.constData());
    process.kill();
    process.waitForFinished(10000);
    QCOMPARE(seen.count("a failed again"), 1);
    QVERIFY(seen.contains("same millisecond"));
    QVERIFY(!seen.contains("quiet"));
}

QTEST_GUILESS_MAIN(NorvexCtlTest)
#include "NorvexCtlTest.moc"
