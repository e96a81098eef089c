#include "shared/JobTable.h"
#include "shared/Exception.h"
#include "shared/mlb2.h"

#include <QTemporaryDir>
#include <QtTest>
#include <sys/stat.h>

using namespace norvex::shared;

namespace {

QDateTime at(const char *text)
{
    return readDateTime(QString::fromLatin1(text));
}

} // namespace

class JobTableTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The grid cases below need a zone with daylight saving (set by the test's TZ).
        const QDateTime winter(QDate(2024, 1, 15), QTime(12, 0));
        const QDateTime summer(QDate(2024, 7, 15), QTime(12, 0));
        QVERIFY2(winter.offsetFromUtc() == 3600 && summer.offsetFromUtc() == 7200,
                 "TZ must be Europe/Berlin (tzdata installed) for this test");
    }

    void fieldNamesInOrder()
    {
        const QStringList expected = {"backupname", "backuplist", "tobackup",
                                      "hostname",   "port",       "username",
                                      "password",   "keyfile",    "localbackupdir",
                                      "backupint",  "backuptani", "backupdt",
                                      "op1",        "op1val",     "op2",
                                      "op2val",     "op3",        "op3val",
                                      "op4"};
        QCOMPARE(jobFieldNames(), expected);
    }

    void createsTheTableAndLogFolderOnce()
    {
        QTemporaryDir dir;
        const QString folder = dir.path() + QLatin1Char('/');
        QVERIFY(ensureJobTable(folder));
        const QString file = jobTablePath(folder);
        QFile f(file);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray bytes = f.readAll();
        f.close();
        QVERIFY(bytes.startsWith("\"backupname\",\"backuplist\",\"tobackup\","));
        QVERIFY(bytes.endsWith("\"op3val\",\"op4\"\r\n"));
        QCOMPARE(bytes.count('\n'), 1);
        struct stat st
        {
        };
        QVERIFY(::stat(QFile::encodeName(file).constData(), &st) == 0);
        QCOMPARE(st.st_mode & 07777, 0600u);
        QVERIFY(QFileInfo(folder + QStringLiteral("Log")).isDir());

        TMlb2 t;
        t.SetSeparator(QLatin1Char(','));
        QVERIFY(t.LoadFromFile(file));
        QCOMPARE(t.FieldCount(), 19);
        QCOMPARE(t.RecordCount(), 0);

        // An existing table is never touched; rewrites keep its mode.
        t.AppendRecord();
        t.SetFieldByName(QStringLiteral("backupname"), QStringLiteral("job"));
        QVERIFY(t.SaveToFile(file));
        QVERIFY(ensureJobTable(dir.path())); // without trailing slash
        QVERIFY(t.LoadFromFile(file));
        QCOMPARE(t.RecordCount(), 1);
        QVERIFY(::stat(QFile::encodeName(file).constData(), &st) == 0);
        QCOMPARE(st.st_mode & 07777, 0600u);

        QVERIFY(!ensureJobTable(dir.path() + QStringLiteral("/missing")));
    }

    void sourceListRoundTrip_data()
    {
        QTest::addColumn<QStringList>("paths");
        QTest::addColumn<QString>("encoded");
        QTest::newRow("plain") << QStringList{"/home/a", "/etc/b.conf"}
                               << QStringLiteral("/home/a /etc/b.conf");
        QTest::newRow("space") << QStringList{"/home/my files", "/x"}
                               << QStringLiteral("\"/home/my files\" /x");
        QTest::newRow("quote") << QStringList{"/a\"b"} << QStringLiteral("\"/a\"\"b\"");
        QTest::newRow("control") << QStringList{"/a\tb"} << QStringLiteral("\"/a\tb\"");
        QTest::newRow("one empty path") << QStringList{""} << QStringLiteral("\"\"");
        QTest::newRow("empty among others")
            << QStringList{"/a", "", "/b"} << QStringLiteral("/a \"\" /b");
        QTest::newRow("japanese") << QStringList{"/データ/写真 2024", "/ドキュメント"}
                                  << QStringLiteral("\"/データ/写真 2024\" /ドキュメント");
        QTest::newRow("none") << QStringList{} << QString();
    }
    void sourceListRoundTrip()
    {
        QFETCH(QStringList, paths);
        QFETCH(QString, encoded);
        QCOMPARE(encodeSourceList(paths), encoded);
        QCOMPARE(decodeSourceList(encoded), paths);

        // Stored in the table the list is one quoted value, its marks doubled once more.
        QTemporaryDir dir;
        TMlb2 t;
        t.SetSeparator(QLatin1Char(','));
        t.AddField(QStringLiteral("backuplist"));
        t.AppendRecord();
        t.SetFieldByName(QStringLiteral("backuplist"), encoded);
        QVERIFY(t.SaveToFile(dir.filePath(QStringLiteral("b.csv"))));
        TMlb2 back;
        back.SetSeparator(QLatin1Char(','));
        QVERIFY(back.LoadFromFile(dir.filePath(QStringLiteral("b.csv"))));
        back.First();
        QCOMPARE(decodeSourceList(back.FieldByName(QStringLiteral("backuplist"))), paths);
    }

    void sourceListReading_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("paths");
        QTest::newRow("runs of separators")
            << QStringLiteral("  /a \t\r\n /b  ") << QStringList{"/a", "/b"};
        QTest::newRow("unclosed quote") << QStringLiteral("/a \"/b c") << QStringList{"/a", "/b c"};
        QTest::newRow("text after closing mark")
            << QStringLiteral("\"/a b\"c") << QStringList{"/a b", "c"};
        QTest::newRow("quote inside unquoted")
            << QStringLiteral("/a\"b /c") << QStringList{"/a\"b", "/c"};
        QTest::newRow("only spaces") << QStringLiteral("   ") << QStringList{};
        QTest::newRow("ideographic space is no separator")
            << QStringLiteral("/a\u3000b") << QStringList{"/a\u3000b"};
    }
    void sourceListReading()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, paths);
        QCOMPARE(decodeSourceList(text), paths);
    }

    void readsOnOffValues_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("on");
        QTest::newRow("-1") << "-1" << true;
        QTest::newRow("0") << "0" << false;
        QTest::newRow("1") << "1" << true;
        QTest::newRow("42") << "42" << true;
        QTest::newRow("000") << "000" << false;
        QTest::newRow("huge") << "99999999999999999999" << true;
        QTest::newRow("0.0") << "0.0" << false;
        QTest::newRow("true") << "true" << true;
        QTest::newRow("FALSE") << "FALSE" << false;
        QTest::newRow("TrUe") << "TrUe" << true;
    }
    void readsOnOffValues()
    {
        QFETCH(QString, text);
        QFETCH(bool, on);
        QCOMPARE(readOnOff(text), on);
        QCOMPARE(writeOnOff(on), on ? QStringLiteral("-1") : QStringLiteral("0"));
    }

    void conversionErrorsNameTheValue_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("text");
        QTest::newRow("on/off empty") << 0 << "";
        QTest::newRow("on/off yes") << 0 << "yes";
        QTest::newRow("on/off minus") << 0 << "-";
        QTest::newRow("on/off dot") << 0 << "1.";
        QTest::newRow("int empty") << 1 << "";
        QTest::newRow("int text") << 1 << "22a";
        QTest::newRow("int overflow") << 1 << "99999999999";
        QTest::newRow("int float") << 1 << "2.5";
        QTest::newRow("dt empty") << 2 << "";
        QTest::newRow("dt dashes") << 2 << "2024-05-10 18:00:00";
        QTest::newRow("dt month 13") << 2 << "2024/13/10 18:00:00";
        QTest::newRow("dt feb 30") << 2 << "2024/02/30 18:00:00";
        QTest::newRow("dt hour 24") << 2 << "2024/05/10 24:00:00";
        QTest::newRow("dt truncated") << 2 << "2024/05/10 18:00";
        QTest::newRow("dt trailing") << 2 << "2024/05/10 18:00:00x";
        QTest::newRow("dt garbage") << 2 << "\xff\xfe binary";
    }
    void conversionErrorsNameTheValue()
    {
        QFETCH(int, kind);
        QFETCH(QString, text);
        try {
            if (kind == 0)
                readOnOff(text);
            else if (kind == 1)
                readInteger(QStringLiteral("port"), text);
            else
                readDateTime(text);
            QFAIL("no conversion error");
        } catch (const EConvertError &e) {
            QCOMPARE(e.className(), QStringLiteral("EConvertError"));
            QVERIFY2(e.message().contains(QLatin1Char('\'') + text + QLatin1Char('\'')),
                     qPrintable(e.message()));
            if (kind == 1)
                QVERIFY(e.message().contains(QStringLiteral("port")));
        }
    }

    void readsAndFormatsDateTimes()
    {
        QCOMPARE(readInteger(QStringLiteral("port"), QStringLiteral("22")), 22);
        QCOMPARE(readInteger(QStringLiteral("x"), QStringLiteral("-7")), -7);
        const QDateTime t = readDateTime(QStringLiteral("2024/05/10 18:00:05"));
        QCOMPARE(t.date(), QDate(2024, 5, 10));
        QCOMPARE(t.time(), QTime(18, 0, 5));
        QCOMPARE(t.timeSpec(), Qt::LocalTime);
        QCOMPARE(formatDateTime(t), QStringLiteral("2024/05/10 18:00:05"));
        QCOMPARE(formatDateTime(t.toUTC()), QStringLiteral("2024/05/10 18:00:05"));
        QCOMPARE(formatDateTime(QDateTime()), QString());
        // A time the clock skips still formats back to the stored text and is a real
        // moment after the gap.
        const QDateTime gap = readDateTime(QStringLiteral("2024/03/31 02:30:00"));
        QVERIFY(gap.isValid());
        QCOMPARE(formatDateTime(gap), QStringLiteral("2024/03/31 02:30:00"));
        QCOMPARE(gap.toLocalTime().time(), QTime(3, 30));
        QVERIFY(gap > readDateTime(QStringLiteral("2024/03/31 01:59:59")));
        QVERIFY(gap < readDateTime(QStringLiteral("2024/03/31 03:31:00")));
    }

    void nextRunTimeOnTheGrid_data()
    {
        QTest::addColumn<QString>("backupdt");
        QTest::addColumn<int>("interval");
        QTest::addColumn<QChar>("unit");
        QTest::addColumn<QString>("end");
        QTest::addColumn<QString>("next");
        QTest::newRow("hours skipped")
            << "2024/01/10 10:00:00" << 1 << QChar('h') << "2024/01/10 13:30:10"
            << "2024/01/10 14:00:00";
        QTest::newRow("equal end accepted")
            << "2024/01/10 13:00:00" << 1 << QChar('h') << "2024/01/10 14:00:00"
            << "2024/01/10 14:00:00";
        QTest::newRow("at least one step")
            << "2024/01/10 13:00:00" << 3 << QChar('h') << "2024/01/10 09:00:00"
            << "2024/01/10 16:00:00";
        QTest::newRow("two days") << "2024/01/01 02:00:00" << 2 << QChar('d')
                                  << "2024/01/03 05:00:00"
                                  << "2024/01/05 02:00:00";
        QTest::newRow("a week stopped")
            << "2024/06/01 02:00:00" << 1 << QChar('d') << "2024/06/08 09:12:00"
            << "2024/06/09 02:00:00";
        QTest::newRow("a year old, hourly")
            << "2023/05/10 07:15:00" << 5 << QChar('h') << "2024/05/10 07:15:01"
            << "2024/05/10 08:15:00";
        QTest::newRow("leap day") << "2024/02/28 23:00:00" << 1 << QChar('d')
                                  << "2024/02/29 00:00:00"
                                  << "2024/02/29 23:00:00";
        // Daylight saving starts 2024/03/31 02:00 (clock jumps to 03:00) and ends
        // 2024/10/27 03:00 (clock goes back to 02:00).
        QTest::newRow("daily across spring")
            << "2024/03/30 02:00:00" << 1 << QChar('d') << "2024/04/01 01:00:00"
            << "2024/04/01 02:00:00";
        QTest::newRow("daily across autumn")
            << "2024/10/26 02:00:00" << 1 << QChar('d') << "2024/10/28 00:30:00"
            << "2024/10/28 02:00:00";
        QTest::newRow("daily into the gap keeps its phase")
            << "2024/03/30 02:30:00" << 1 << QChar('d') << "2024/03/30 05:00:00"
            << "2024/03/31 02:30:00";
        QTest::newRow("daily out of the gap keeps its phase")
            << "2024/03/31 02:30:00" << 1 << QChar('d') << "2024/03/31 04:00:00"
            << "2024/04/01 02:30:00";
        QTest::newRow("hourly over the spring gap")
            << "2024/03/31 01:00:00" << 1 << QChar('h') << "2024/03/31 03:10:00"
            << "2024/03/31 04:00:00";
        QTest::newRow("12-hourly stays on the wall grid")
            << "2024/03/30 08:00:00" << 12 << QChar('h') << "2024/04/02 07:00:00"
            << "2024/04/02 08:00:00";
    }
    void nextRunTimeOnTheGrid()
    {
        QFETCH(QString, backupdt);
        QFETCH(int, interval);
        QFETCH(QChar, unit);
        QFETCH(QString, end);
        QFETCH(QString, next);
        const QDateTime endTime = readDateTime(end);
        const QDateTime result = nextRunTime(readDateTime(backupdt), interval, unit, endTime);
        QCOMPARE(formatDateTime(result), next);
        QVERIFY(result >= endTime);
    }

    void nextRunIsNeverBeforeTheEndAcrossTheRepeatedHour()
    {
        // 02:30 exists twice on 2024/10/27. A run ending at the second 02:10 (CET) must not
        // get the first 02:30 (CEST), which is already past.
        const QDateTime endCet = QDateTime::fromSecsSinceEpoch(
            QDateTime(QDate(2024, 10, 27), QTime(1, 10), Qt::UTC).toSecsSinceEpoch());
        QCOMPARE(endCet.toLocalTime().time(), QTime(2, 10));
        QCOMPARE(endCet.toLocalTime().offsetFromUtc(), 3600);
        const QDateTime result =
            nextRunTime(readDateTime(QStringLiteral("2024/10/27 01:30:00")), 1, 'h', endCet);
        QVERIFY(result >= endCet);
        QVERIFY(result.secsTo(endCet) > -2 * 3600);
    }

    void runNowTimeOnTheGrid_data()
    {
        QTest::addColumn<QString>("backupdt");
        QTest::addColumn<int>("interval");
        QTest::addColumn<QChar>("unit");
        QTest::addColumn<QString>("now");
        QTest::addColumn<QString>("result");
        QTest::newRow("six hours back")
            << "2024/05/10 18:00:00" << 6 << QChar('h') << "2024/05/10 09:30:00"
            << "2024/05/10 06:00:00";
        QTest::newRow("equal now accepted")
            << "2024/05/10 18:00:00" << 6 << QChar('h') << "2024/05/10 12:00:00"
            << "2024/05/10 12:00:00";
        QTest::newRow("one day back")
            << "2024/05/11 04:00:00" << 1 << QChar('d') << "2024/05/10 09:30:00"
            << "2024/05/10 04:00:00";
        QTest::newRow("already past: one step still")
            << "2024/05/10 04:00:00" << 1 << QChar('d') << "2024/05/10 09:30:00"
            << "2024/05/09 04:00:00";
        QTest::newRow("far future")
            << "2025/05/11 04:00:00" << 2 << QChar('d') << "2024/05/10 09:30:00"
            << "2024/05/10 04:00:00";
        QTest::newRow("back across spring")
            << "2024/04/02 02:00:00" << 1 << QChar('d') << "2024/03/30 12:00:00"
            << "2024/03/30 02:00:00";
        QTest::newRow("back into the gap")
            << "2024/04/01 02:30:00" << 1 << QChar('d') << "2024/03/31 05:00:00"
            << "2024/03/31 02:30:00";
    }
    void runNowTimeOnTheGrid()
    {
        QFETCH(QString, backupdt);
        QFETCH(int, interval);
        QFETCH(QChar, unit);
        QFETCH(QString, now);
        QFETCH(QString, result);
        const QDateTime nowTime = readDateTime(now);
        const QDateTime p = runNowTime(readDateTime(backupdt), interval, unit, nowTime);
        QCOMPARE(formatDateTime(p), result);
        QVERIFY(p <= nowTime);
        // Run now and then a run that ends at once bring the job back to its old time.
        const QDateTime old = readDateTime(backupdt);
        if (old > nowTime)
            QCOMPARE(formatDateTime(nextRunTime(p, interval, unit, nowTime.addSecs(60))),
                     formatDateTime(nextRunTime(p, interval, unit, nowTime)));
    }

    void gridMatchesTheStepLoop()
    {
        // Against the plain loop of whole calendar steps, for many distances.
        QRandomGenerator rng(7);
        for (int round = 0; round < 300; ++round) {
            const int interval = 1 + static_cast<int>(rng.bounded(23));
            const QChar unit = rng.bounded(2) ? QChar('h') : QChar('d');
            const QDateTime t = readDateTime(QStringLiteral("2023/%1/%2 %3:%4:00")
                                                 .arg(1 + rng.bounded(12), 2, 10, QChar('0'))
                                                 .arg(1 + rng.bounded(28), 2, 10, QChar('0'))
                                                 .arg(rng.bounded(24), 2, 10, QChar('0'))
                                                 .arg(rng.bounded(60), 2, 10, QChar('0')));
            const QDateTime end = t.addSecs(static_cast<qint64>(rng.bounded(90 * 86400)));
            QDateTime loop = t;
            auto step = [&](const QDateTime &d, int k) {
                return unit == QChar('h')
                           ? QDateTime(d.date(), d.time(), Qt::UTC)
                                 .addSecs(qint64(k) * interval * 3600)
                           : QDateTime(d.date(), d.time(), Qt::UTC).addDays(qint64(k) * interval);
            };
            QDateTime naive = step(loop, 1);
            const QDateTime endLocal = end.toLocalTime();
            const QDateTime naiveEnd(endLocal.date(), endLocal.time(), Qt::UTC);
            while (naiveEnd > naive)
                naive = step(naive, 1);
            const QDateTime got = nextRunTime(t, interval, unit, end);
            if (got.date() != naive.date() || got.time() != naive.time()) {
                // Only the repeated autumn hour may push the result one step further.
                QVERIFY2(
                    formatDateTime(got) ==
                        step(naive, 1).toString(QStringLiteral("yyyy/MM/dd hh:mm:ss")),
                    qPrintable(formatDateTime(t) + QStringLiteral(" -> ") + formatDateTime(got)));
            }
        }
    }

    void badIntervalsAreConversionErrors_data()
    {
        QTest::addColumn<int>("interval");
        QTest::addColumn<QChar>("unit");
        QTest::newRow("zero") << 0 << QChar('h');
        QTest::newRow("negative") << -3 << QChar('d');
        QTest::newRow("unit H") << 1 << QChar('H');
        QTest::newRow("unit m") << 1 << QChar('m');
        QTest::newRow("null unit") << 1 << QChar();
    }
    void badIntervalsAreConversionErrors()
    {
        QFETCH(int, interval);
        QFETCH(QChar, unit);
        const QDateTime t = at("2024/05/10 18:00:00");
        QVERIFY_THROWS_EXCEPTION(EConvertError, nextRunTime(t, interval, unit, t));
        QVERIFY_THROWS_EXCEPTION(EConvertError, runNowTime(t, interval, unit, t));
    }

    void oneJobsChangeKeepsWhatTheFileHolds()
    {
        QTemporaryDir dir;
        const QString path = jobTablePath(dir.path());
        QVERIFY(ensureJobTable(dir.path()));
        TMlb2 mine;
        setupJobTable(mine);
        QVERIFY(mine.LoadFromFile(path));
        for (const char *name : {"a", "b", "c"}) {
            mine.AppendRecord();
            mine.SetFieldByName(QStringLiteral("backupname"), QLatin1String(name));
            mine.SetFieldByName(QStringLiteral("backupdt"), QStringLiteral("2024/05/10 04:00:00"));
        }
        QVERIFY(mine.SaveToFile(path));

        // The other program saves b's next run time after this one loaded the table.
        TMlb2 other;
        setupJobTable(other);
        QVERIFY(other.LoadFromFile(path) && other.GoToRecord(2));
        other.SetFieldByName(QStringLiteral("backupdt"), QStringLiteral("2024/05/11 04:00:00"));
        QVERIFY(other.SaveToFile(path));

        QString error;
        QCOMPARE(
            changeJobInFile(
                mine, path, 1, QStringLiteral("a"),
                [](TMlb2 &t) { t.SetFieldByName(QStringLiteral("op1val"), QStringLiteral("z")); },
                &error),
            JobFileResult::Saved);
        QCOMPARE(deleteJobInFile(mine, path, 3, QStringLiteral("c"), &error), JobFileResult::Saved);
        TMlb2 file;
        setupJobTable(file);
        QVERIFY(file.LoadFromFile(path));
        QCOMPARE(file.RecordCount(), 2);
        QCOMPARE(file.Cell(file.FieldPosition(QStringLiteral("op1val")), 1), QStringLiteral("z"));
        QCOMPARE(file.Cell(file.FieldPosition(QStringLiteral("backupdt")), 2),
                 QStringLiteral("2024/05/11 04:00:00"));
        QCOMPARE(mine.SaveToData(), file.SaveToData()); // the caller's table mirrors the file

        // A job no longer at its position with its name: nothing is written.
        const QByteArray before = file.SaveToData();
        QCOMPARE(deleteJobInFile(mine, path, 1, QStringLiteral("b"), &error),
                 JobFileResult::NotFound);
        QVERIFY(error.contains(QLatin1Char('b')) && error.contains(path));
        QVERIFY(file.LoadFromFile(path));
        QCOMPARE(file.SaveToData(), before);

        // A file that cannot be read: nothing written, the reason given.
        QCOMPARE(appendJobToFile(
                     mine, dir.path() + QStringLiteral("/no/such.csv"), [](TMlb2 &) {}, &error),
                 JobFileResult::Unreadable);
        QVERIFY2(error.contains(QStringLiteral("No such file")), qPrintable(error));

        // An empty file gets the header before the appended job.
        QFile empty(dir.path() + QStringLiteral("/empty.csv"));
        QVERIFY(empty.open(QIODevice::WriteOnly));
        empty.close();
        QCOMPARE(appendJobToFile(mine, empty.fileName(),
                                 [](TMlb2 &t) {
                                     t.SetFieldByName(QStringLiteral("backupname"),
                                                      QStringLiteral("n"));
                                 }),
                 JobFileResult::Saved);
        QVERIFY(file.LoadFromFile(empty.fileName()));
        QCOMPARE(file.FieldCount(), 19);
        QCOMPARE(file.Cell(1, 1), QStringLiteral("n"));

        // Rules both programs apply.
        QVERIFY_THROWS_EXCEPTION(EConvertError, isOn(QString()));
        QVERIFY(isOn(QStringLiteral("-1")) && !isOn(QStringLiteral("0")));
        QVERIFY(isSafeJobName(QStringLiteral("web.site 2")));
        QVERIFY(!isSafeJobName(QStringLiteral("a/b")) && !isSafeJobName(QStringLiteral("a\tb")));
    }

    void oneNameIsOneJob()
    {
        QTemporaryDir dir;
        const QString path = jobTablePath(dir.path());
        QVERIFY(ensureJobTable(dir.path()));
        const auto named = [](const char *name) {
            return [name](TMlb2 &t) {
                t.SetFieldByName(QStringLiteral("backupname"), QLatin1String(name));
            };
        };
        TMlb2 mine;
        QCOMPARE(appendJobToFile(mine, path, named("a")), JobFileResult::Saved);
        QCOMPARE(appendJobToFile(mine, path, named("b")), JobFileResult::Saved);
        auto fileData = [&path] {
            TMlb2 file;
            setupJobTable(file);
            return file.LoadFromFile(path) ? file.SaveToData() : QByteArray();
        };
        const QByteArray before = fileData();

        // Added or renamed to a name the file already holds: nothing written, the caller's
        // table mirrors the file.
        QString error;
        QCOMPARE(appendJobToFile(mine, path, named("a"), &error), JobFileResult::Duplicate);
        QVERIFY2(error.contains(path) && error.contains(QLatin1String("row 1")), qPrintable(error));
        QCOMPARE(fileData(), before);
        QCOMPARE(mine.SaveToData(), before);
        QCOMPARE(changeJobInFile(mine, path, 2, QStringLiteral("b"), named("a"), &error),
                 JobFileResult::Duplicate);
        QCOMPARE(fileData(), before);
        QCOMPARE(mine.SaveToData(), before);

        // Names are compared case-sensitively; a job that keeps its name is saved even
        // beside a second one made by hand.
        QCOMPARE(appendJobToFile(mine, path, named("A")), JobFileResult::Saved);
        mine.AppendRecord();
        mine.SetFieldByName(QStringLiteral("backupname"), QStringLiteral("a"));
        QVERIFY(mine.SaveToFile(path));
        QCOMPARE(changeJobInFile(mine, path, 1, QStringLiteral("a"),
                                 [](TMlb2 &t) {
                                     t.SetFieldByName(QStringLiteral("backupdt"),
                                                      QStringLiteral("2024/05/10 04:00:00"));
                                 }),
                 JobFileResult::Saved);
    }

    void namesEndingLikeAGeneration_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("refused");
        QTest::newRow("generation 1 of x") << "x-1-" << true;
        QTest::newRow("digit 0") << "x-0-" << true;
        QTest::newRow("digit 9") << "日次-9-" << true;
        QTest::newRow("only the suffix") << "-7-" << true;
        QTest::newRow("two digits") << "x-12-" << false;
        QTest::newRow("no closing dash") << "x-1" << false;
        QTest::newRow("no opening dash") << "x1-" << false;
        QTest::newRow("letter") << "x-a-" << false;
        QTest::newRow("full-width digit") << "x-１-" << false;
        QTest::newRow("inside the name") << "x-1-y" << false;
        QTest::newRow("too short") << "1-" << false;
    }
    void namesEndingLikeAGeneration()
    {
        QFETCH(QString, name);
        QFETCH(bool, refused);
        QCOMPARE(hasGenerationSuffix(name), refused);
    }

    void invalidTimesAreConversionErrors()
    {
        const QDateTime t = at("2024/05/10 18:00:00");
        QVERIFY_THROWS_EXCEPTION(EConvertError, nextRunTime(QDateTime(), 1, 'h', t));
        QVERIFY_THROWS_EXCEPTION(EConvertError, nextRunTime(t, 1, 'h', QDateTime()));
        QVERIFY_THROWS_EXCEPTION(EConvertError, runNowTime(t, 1, 'd', QDateTime()));
        // Large but valid distances are computed, not looped.
        const QDateTime old = at("1900/01/01 00:00:00");
        QCOMPARE(formatDateTime(nextRunTime(old, 1, 'h', t)),
                 QStringLiteral("2024/05/10 18:00:00"));
        QCOMPARE(formatDateTime(runNowTime(at("9999/12/31 23:00:00"), 1, 'h', t)),
                 QStringLiteral("2024/05/10 18:00:00"));
    }
};

QTEST_GUILESS_MAIN(JobTableTest)
#include "JobTableTest.moc"
