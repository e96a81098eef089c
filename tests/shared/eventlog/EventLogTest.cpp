#include "shared/EventLog.h"
#include "TestFiles.h"
#include "shared/LogReader.h"
#include "shared/mlb2.h"

#include <QSet>
#include <QTemporaryDir>
#include <QtTest>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <vector>

using namespace norvex::shared;

using norvex::tests::readBytes;

namespace {

QDateTime when(int y, int mo, int d, int h, int mi, int s, int ms = 0)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms));
}

const QByteArray Header = "logcategory\tlogdate\tlogtext\tlogtextadd\r\n";

} // namespace

class EventLogTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_home;

    QString dayFile(const QDate &day) const { return logFilePath(m_home, day); }

private slots:
    void init()
    {
        m_home = m_dir.path() + QStringLiteral("/home/");
        QDir(m_home).removeRecursively();
        QVERIFY(QDir().mkpath(m_home + QStringLiteral("Log")));
    }

    void firstEntryCreatesTheDayFileWithItsHeader()
    {
        WriteLog(m_home, LogInformation, QStringLiteral("job バックアップ処理を開始しました。"),
                 when(2024, 5, 20, 9, 5, 7, 42));
        WriteLog(m_home, LogError, QStringLiteral("job failed\tEFOpenError : no file"),
                 when(2024, 5, 20, 9, 5, 8, 1));
        WriteLog(m_home, LogWarning, QStringLiteral("w"), when(2024, 5, 20, 10, 0, 0));
        QCOMPARE(readBytes(m_home + QStringLiteral("Log/20240520.log")),
                 Header + "I\t2024/05/20 09:05:07:042\tjob バックアップ処理を開始しました。\r\n"
                          "E\t2024/05/20 09:05:08:001\tjob failed\tEFOpenError : no file\r\n"
                          "W\t2024/05/20 10:00:00:000\tw\r\n");
    }

    void otherLevelsWriteNothing()
    {
        for (int level : {0, 49, 51, 100, -1})
            WriteLog(m_home, level, QStringLiteral("x"), when(2024, 5, 20, 9, 0, 0));
        QVERIFY(!QFile::exists(dayFile(QDate(2024, 5, 20))));
    }

    void entryAfterMidnightGoesToTheNewDay()
    {
        WriteLog(m_home, LogInformation, QStringLiteral("late"),
                 when(2024, 5, 20, 23, 59, 59, 999));
        WriteLog(m_home, LogInformation, QStringLiteral("early"), when(2024, 5, 21, 0, 0, 0, 0));
        QCOMPARE(readBytes(dayFile(QDate(2024, 5, 20))),
                 Header + "I\t2024/05/20 23:59:59:999\tlate\r\n");
        QCOMPARE(readBytes(dayFile(QDate(2024, 5, 21))),
                 Header + "I\t2024/05/21 00:00:00:000\tearly\r\n");
    }

    void lineBreaksAreStoredAsBackslashN()
    {
        WriteLog(m_home, LogInformation, QStringLiteral("a\r\nb\rc\nd\n\re\tadd1\r\nadd2"),
                 when(2024, 5, 20, 9, 0, 0));
        QCOMPARE(readBytes(dayFile(QDate(2024, 5, 20))),
                 Header + "I\t2024/05/20 09:00:00:000\ta\\nb\\nc\\nd\\n\\ne\tadd1\\nadd2\r\n");
        QCOMPARE(logTextForDisplay(QStringLiteral("add1\\nadd2")), QStringLiteral("add1\r\nadd2"));
        // A backslash-n that was in the text already shows as a break too.
        QCOMPARE(logTextForDisplay(logStoredText(QStringLiteral("C:\\new"))),
                 QStringLiteral("C:\r\new"));
    }

    void missingLogFolderWritesNothing()
    {
        QVERIFY(QDir(m_home + QStringLiteral("Log")).removeRecursively());
        WriteLog(m_home, LogError, QStringLiteral("lost"), when(2024, 5, 20, 9, 0, 0));
        QVERIFY(!QFileInfo::exists(m_home + QStringLiteral("Log")));
        WriteLog(QStringLiteral("/nonexistent/folder/"), LogError, QStringLiteral("lost"),
                 when(2024, 5, 20, 9, 0, 0));
        // The two-argument form writes into NORVEX_HOME with the current time.
        const QString home = qEnvironmentVariable("NORVEX_HOME");
        QVERIFY(!home.isEmpty());
        QDir().mkpath(home + QStringLiteral("Log"));
        WriteLog(LogInformation, QStringLiteral("now"));
        const QByteArray today = readBytes(logFilePath(home, QDate::currentDate()));
        QVERIFY2(today.startsWith(Header) && today.endsWith("\tnow\r\n"), today.constData());
    }

    void concurrentEntriesEachAppearOnceOnTheirOwnLine()
    {
        const int threads = 16;
        const int perThread = 400;
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back([this, t] {
                for (int i = 0; i < perThread; ++i) {
                    // Two days at once, long texts with breaks: lines must never mix.
                    const QDateTime at = when(2024, 5, 20 + (i % 2), 12, 0, 0, i % 1000);
                    WriteLog(m_home, LogInformation,
                             QStringLiteral("t%1 e%2 ").arg(t).arg(i) +
                                 QString(300 + (i % 50), QLatin1Char('x')) +
                                 QStringLiteral("\r\nsecond\tadd"),
                             at);
                }
            });
        }
        for (std::thread &w : workers)
            w.join();

        QSet<QString> seen;
        for (int day : {20, 21}) {
            const QByteArray bytes = readBytes(dayFile(QDate(2024, 5, day)));
            QVERIFY(bytes.startsWith(Header));
            QVERIFY(bytes.endsWith("\r\n"));
            const QList<QByteArray> lines = bytes.split('\n');
            QCOMPARE(lines.last(), QByteArray());
            for (qsizetype i = 1; i + 1 < lines.size(); ++i) {
                const QByteArray &line = lines[i];
                QVERIFY(line.endsWith('\r'));
                const QList<QByteArray> fields = line.chopped(1).split('\t');
                QCOMPARE(fields.size(), 4);
                QCOMPARE(fields[0], QByteArray("I"));
                QVERIFY(fields[1].startsWith(QByteArray("2024/05/") + QByteArray::number(day)));
                QCOMPARE(fields[3], QByteArray("add"));
                const QList<QByteArray> words = fields[2].split(' ');
                QVERIFY(words.size() == 3 && words[2].endsWith("\\nsecond"));
                const QString key = QString::fromUtf8(words[0] + ' ' + words[1]);
                QVERIFY2(!seen.contains(key), qPrintable(key));
                seen.insert(key);
            }
            QCOMPARE(bytes.count("logcategory"), 1);
        }
        QCOMPARE(seen.size(), threads * perThread);
    }

    void periodBounds()
    {
        const QDate today(2024, 5, 20);
        QCOMPARE(logPeriodBound(LogPeriod::Today, today), QStringLiteral("20240520"));
        QCOMPARE(logPeriodBound(LogPeriod::Past7Days, today), QStringLiteral("20240506"));
        QCOMPARE(logPeriodBound(LogPeriod::ThisMonth, today), QStringLiteral("20240501"));
        QCOMPARE(logPeriodBound(LogPeriod::All, today), QStringLiteral("20110901"));
        QVERIFY(logFileInPeriod(QStringLiteral("20240520.log"), QStringLiteral("20240520")));
        QVERIFY(logFileInPeriod(QStringLiteral("20250101.log"), QStringLiteral("20240520")));
        QVERIFY(!logFileInPeriod(QStringLiteral("20240519.log"), QStringLiteral("20240520")));
        QVERIFY(logFileInPeriod(QStringLiteral("readme.txt"), QStringLiteral("20240520")));
        QVERIFY(!logFileInPeriod(QStringLiteral("20110831.log"), QStringLiteral("20110901")));
    }

    void viewerMergesDaysNewestFirst()
    {
        WriteLog(m_home, LogInformation, QStringLiteral("old"), when(2024, 5, 5, 8, 0, 0));
        WriteLog(m_home, LogInformation, QStringLiteral("mid"), when(2024, 5, 6, 8, 0, 0));
        WriteLog(m_home, LogError, QStringLiteral("mid2\tdetail \"quoted\r\nline"),
                 when(2024, 5, 6, 9, 0, 0));
        WriteLog(m_home, LogInformation, QStringLiteral("say \"hi"), when(2024, 5, 20, 7, 0, 0));
        WriteLog(m_home, LogInformation, QStringLiteral("new\textra\tdropped"),
                 when(2024, 5, 20, 7, 0, 1));

        TMlb2 log;
        setupLogTable(log);
        QCOMPARE(
            loadLogEntries(log, m_home, logPeriodBound(LogPeriod::Past7Days, QDate(2024, 5, 20))),
            2);
        QCOMPARE(log.FieldCount(), 4);
        QStringList texts;
        for (log.First(); !log.Eof(); log.Next())
            texts.append(log.FieldByName(QStringLiteral("logtext")));
        // Quotation marks are ordinary characters for the viewer.
        QCOMPARE(texts, (QStringList{"new", "say \"hi", "mid2", "mid"}));
        log.GoToRecord(3);
        QCOMPARE(log.FieldByName(QStringLiteral("logcategory")), QStringLiteral("E"));
        QCOMPARE(logTextForDisplay(log.FieldByName(QStringLiteral("logtextadd"))),
                 QStringLiteral("detail \"quoted\r\nline"));
        log.GoToRecord(1);
        QCOMPARE(log.FieldByName(QStringLiteral("logtextadd")), QStringLiteral("extra"));

        QCOMPARE(loadLogEntries(log, m_home, QStringLiteral("20240520")), 1);
        QCOMPARE(log.RecordCount(), 2);
        QCOMPARE(loadLogEntries(log, m_home, logPeriodBound(LogPeriod::All, QDate())), 3);
        QCOMPARE(log.RecordCount(), 5);
        QCOMPARE(log.Cell(2, 5), QStringLiteral("2024/05/05 08:00:00:000"));
    }

    void readerReadsAgainOnlyChangedFiles()
    {
        for (int day : {18, 19, 20})
            WriteLog(m_home, LogInformation, QStringLiteral("day %1").arg(day),
                     when(2024, 5, day, 8, 0, 0));
        LogReader reader;
        TMlb2 log;
        auto reload = [&] { return reader.reload(log, m_home, QStringLiteral("20110901")); };
        QCOMPARE(reload().filesRead, 3);
        const LogReloadResult same = reload();
        QVERIFY(same.filesRead == 0 && !same.changed && log.RecordCount() == 3);

        WriteLog(m_home, LogError, QStringLiteral("later"), when(2024, 5, 19, 9, 0, 0));
        QCOMPARE(reload().filesRead, 1);
        QCOMPARE(log.Cell(3, 2), QStringLiteral("later"));

        // Another file of the same size and modification time put in its place is read.
        const QString path = dayFile(QDate(2024, 5, 18));
        const QString other = m_home + QStringLiteral("Log/new");
        norvex::tests::writeBytes(other, readBytes(path).replace("day 18", "DAY 18"));
        struct stat st
        {
        };
        QVERIFY(::stat(QFile::encodeName(path), &st) == 0);
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        QVERIFY(::utimensat(AT_FDCWD, QFile::encodeName(other), times, 0) == 0);
        QVERIFY(::rename(QFile::encodeName(other), QFile::encodeName(path)) == 0);
        QCOMPARE(reload().filesRead, 1);
        QCOMPARE(log.Cell(3, 4), QStringLiteral("DAY 18"));

        QVERIFY(QFile::remove(dayFile(QDate(2024, 5, 20))));
        QCOMPARE(reload().files, 2);
        QCOMPARE(log.RecordCount(), 3);
    }

    void viewerSkipsFilesOfOtherShapesAndCopesWithJunk()
    {
        WriteLog(m_home, LogInformation, QStringLiteral("a"), when(2024, 5, 20, 7, 0, 0));
        QFile other(m_home + QStringLiteral("Log/readme.txt"));
        QVERIFY(other.open(QIODevice::WriteOnly));
        other.write("just\tsome\r\ntext\r\n");
        other.close();
        QVERIFY(QDir().mkpath(m_home + QStringLiteral("Log/20991231.d")));
        QFile junk(m_home + QStringLiteral("Log/20240521.log"));
        QVERIFY(junk.open(QIODevice::WriteOnly));
        junk.write(QByteArray(100000, '\0') + "\"\r\n\xff\xfe");
        junk.close();

        TMlb2 log;
        setupLogTable(log);
        QCOMPARE(listLogFolder(m_home), (QStringList{"20240520.log", "20240521.log"}));
        QCOMPARE(loadLogEntries(log, m_home, QStringLiteral("20240520")), 1);
        QCOMPARE(log.RecordCount(), 1);
        QCOMPARE(log.FieldByName(QStringLiteral("logtext")), QStringLiteral("a"));

        QVERIFY(QDir(m_home + QStringLiteral("Log")).removeRecursively());
        QCOMPARE(loadLogEntries(log, m_home, QStringLiteral("20110901")), 0);
        QCOMPARE(log.RecordCount(), 0);
        QVERIFY(listLogFolder(m_home).isEmpty());
    }
};

QTEST_GUILESS_MAIN(EventLogTest)
#include "EventLogTest.moc"
