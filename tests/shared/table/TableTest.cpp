#include "TestFiles.h"
#include "shared/mlb2.h"

#include <QTemporaryDir>
#include <QtTest>
#include <sys/stat.h>
#include <unistd.h>

using norvex::shared::TMlb2;

using norvex::tests::readBytes;
using norvex::tests::writeBytes;

namespace {

// A job-table-style table: separator ",", quotes on.
TMlb2 csvTable()
{
    TMlb2 t;
    t.SetSeparator(QLatin1Char(','));
    t.SetQuoteChar(QLatin1Char('"'));
    return t;
}

QStringList recordValues(const TMlb2 &t, int record)
{
    QStringList values;
    for (int i = 1; i <= t.FieldCount(); ++i)
        values.append(t.Cell(i, record));
    return values;
}

} // namespace

class TableTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString path(const QString &name) const { return m_dir.filePath(name); }

    // Loads `bytes` as a csv table.
    TMlb2 load(const QByteArray &bytes)
    {
        writeBytes(path(QStringLiteral("in.csv")), bytes);
        TMlb2 t = csvTable();
        [&] { QVERIFY(t.LoadFromFile(path(QStringLiteral("in.csv")))); }();
        return t;
    }

private slots:
    void roundTripsAwkwardValues_data()
    {
        QTest::addColumn<QString>("value");
        QTest::newRow("separator") << QStringLiteral("a,b,,c");
        QTest::newRow("crlf") << QStringLiteral("line1\r\nline2\r\n");
        QTest::newRow("lone cr and lf") << QStringLiteral("a\rb\nc");
        QTest::newRow("quotes") << QStringLiteral("say \"hi\", \"\"twice\"\"");
        QTest::newRow("only a quote") << QStringLiteral("\"");
        QTest::newRow("tab and spaces") << QStringLiteral("  \t lead and trail  ");
        QTest::newRow("japanese") << QStringLiteral("バックアップ，日本語\"表\"");
        QTest::newRow("outside the BMP") << QString::fromUtf8("\xF0\x9F\x98\x80 emoji");
        QTest::newRow("empty") << QString();
    }
    void roundTripsAwkwardValues()
    {
        QFETCH(QString, value);
        TMlb2 t = csvTable();
        QVERIFY(t.AddField(QStringLiteral("name")));
        QVERIFY(t.AddField(QStringLiteral("other")));
        t.AppendRecord();
        QVERIFY(t.SetFieldByName(QStringLiteral("name"), value));
        QVERIFY(t.SetFieldByIndex(2, QStringLiteral("after")));
        t.AppendRecord();
        t.SetFieldByIndex(1, QStringLiteral("second"));
        QVERIFY(t.SaveToFile(path(QStringLiteral("rt.csv"))));

        TMlb2 back = csvTable();
        QVERIFY(back.LoadFromFile(path(QStringLiteral("rt.csv"))));
        QCOMPARE(back.FieldCount(), 2);
        QCOMPARE(back.RecordCount(), 2);
        QCOMPARE(back.Cell(1, 1), value);
        QCOMPARE(back.Cell(2, 1), QStringLiteral("after"));
        QCOMPARE(back.Cell(1, 2), QStringLiteral("second"));
    }

    void writesEveryValueQuotedWithCrLf()
    {
        TMlb2 t = csvTable();
        t.AddField(QStringLiteral("a"));
        t.AddField(QStringLiteral(" b"));
        t.AppendRecord();
        t.SetFieldByIndex(1, QStringLiteral("x\"y"));
        QVERIFY(t.SaveToFile(path(QStringLiteral("w.csv"))));
        QCOMPARE(readBytes(path(QStringLiteral("w.csv"))),
                 QByteArray("\"a\",\" b\"\r\n\"x\"\"y\",\"\"\r\n"));
        // Loading keeps every field a STRING field, so a rewrite quotes again.
        TMlb2 back = csvTable();
        QVERIFY(back.LoadFromFile(path(QStringLiteral("w.csv"))));
        QCOMPARE(back.FieldType(1), QStringLiteral("STRING"));
        QCOMPARE(back.FieldName(2), QStringLiteral(" b"));
    }

    void floatFieldsGoOutBareOnlyWhenSafe()
    {
        TMlb2 t = csvTable();
        t.AddField(QStringLiteral("n"));
        QVERIFY(t.SetFieldType(1, QStringLiteral("FLOAT")));
        t.AppendRecord();
        t.SetFieldByIndex(1, QStringLiteral("12.5"));
        t.AppendRecord();
        t.SetFieldByIndex(1, QStringLiteral("1,5"));
        QVERIFY(t.SaveToFile(path(QStringLiteral("f.csv"))));
        QCOMPARE(readBytes(path(QStringLiteral("f.csv"))),
                 QByteArray("\"n\"\r\n12.5\r\n\"1,5\"\r\n"));
    }

    void readingRules_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("fields");
        QTest::addColumn<QList<QStringList>>("records");
        using L = QList<QStringList>;
        QTest::newRow("doubled quote inside stretch")
            << QByteArray("a\r\n\"x\"\"y\"\r\n") << QStringList{"a"} << L{{"x\"y"}};
        QTest::newRow("quote in the middle of an unquoted value")
            << QByteArray("a,b\r\nab\"c,d\"e,f\r\n") << QStringList{"a", "b"} << L{{"abc,de", "f"}};
        QTest::newRow("empty header name drops the last value")
            << QByteArray("a,,b\r\n1,2,3\r\n") << QStringList{"a", "b"} << L{{"1", "2"}};
        QTest::newRow("spaces-only and repeated names skipped")
            << QByteArray("a,  ,A,b\r\n1,2,3,4\r\n") << QStringList{"a", "b"} << L{{"1", "2"}};
        QTest::newRow("last line without line break")
            << QByteArray("a,b\r\n1,2\r\n3,4") << QStringList{"a", "b"}
            << L{{"1", "2"}, {"3", "4"}};
        QTest::newRow("final crlf gives no extra record")
            << QByteArray("a\r\n1\r\n") << QStringList{"a"} << L{{"1"}};
        QTest::newRow("empty line gives empty record")
            << QByteArray("a,b\r\n1,2\r\n\r\n3,4\r\n") << QStringList{"a", "b"}
            << L{{"1", "2"}, {"", ""}, {"3", "4"}};
        QTest::newRow("lone cr ends a line")
            << QByteArray("a\r1\r2") << QStringList{"a"} << L{{"1"}, {"2"}};
        QTest::newRow("lf alone is skipped")
            << QByteArray("a,b\n1,2\n") << QStringList{"a", "b1", "2"} << L{};
        QTest::newRow("lf inside a value is skipped")
            << QByteArray("a\r\nx\ny\r\n") << QStringList{"a"} << L{{"xy"}};
        QTest::newRow("crlf inside quotes kept")
            << QByteArray("a\r\n\"x\r\ny\"\r\n") << QStringList{"a"} << L{{"x\r\ny"}};
        QTest::newRow("short line keeps empty values")
            << QByteArray("a,b,c\r\n1\r\n") << QStringList{"a", "b", "c"} << L{{"1", "", ""}};
        QTest::newRow("spaces belong to the value")
            << QByteArray("a\r\n  x  \r\n") << QStringList{"a"} << L{{"  x  "}};
        QTest::newRow("empty file") << QByteArray() << QStringList{} << L{};
        QTest::newRow("unbalanced quote runs to the end")
            << QByteArray("a,b\r\n\"x,y\r\n2,3") << QStringList{"a", "b"} << L{{"x,y\r\n2,3", ""}};
        QTest::newRow("utf-8 passes unchanged") << QByteArray("名前,b\r\n\"日本,語\",ｂ\r\n")
                                                << QStringList{"名前", "b"} << L{{"日本,語", "ｂ"}};
    }
    void readingRules()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, fields);
        QFETCH(QList<QStringList>, records);
        TMlb2 t = load(bytes);
        QStringList names;
        for (int i = 1; i <= t.FieldCount(); ++i)
            names.append(t.FieldName(i));
        QCOMPARE(names, fields);
        QCOMPARE(t.RecordCount(), records.size());
        for (int r = 0; r < records.size(); ++r)
            QCOMPARE(recordValues(t, r + 1), records[r]);
        // The cursor ends on the last record read.
        QCOMPARE(t.CurrentIndex(), static_cast<int>(records.size()) - 1);
        QCOMPARE(t.Eof(), records.isEmpty());
    }

    void failedLoadLeavesTableAsItWas()
    {
        TMlb2 t = load("a\r\n1\r\n");
        QVERIFY(!t.LoadFromFile(path(QStringLiteral("missing.csv"))));
        QVERIFY(!t.LoadFromFile(m_dir.path())); // a folder
        const QString fifo = path(QStringLiteral("fifo.csv"));
        QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
        QVERIFY(!t.LoadFromFile(fifo)); // returns at once instead of waiting for a writer
        QCOMPARE(t.FieldCount(), 1);
        QCOMPARE(t.RecordCount(), 1);
        QCOMPARE(t.FieldByName(QStringLiteral("A")), QStringLiteral("1"));
    }

    void cursorFlags()
    {
        TMlb2 t = csvTable();
        QVERIFY(t.Bof() && t.Eof());
        QVERIFY(!t.First());
        QVERIFY(t.Bof() && t.Eof());
        QVERIFY(!t.Next());
        QVERIFY(t.Bof() && t.Eof());

        t.AddField(QStringLiteral("v"));
        for (const char *v : {"1", "2", "3"}) {
            QVERIFY(t.AppendRecord());
            QVERIFY(!t.Bof() && !t.Eof());
            t.SetFieldByIndex(1, QString::fromLatin1(v));
        }
        QVERIFY(t.First());
        QVERIFY(!t.Bof() && !t.Eof());
        QVERIFY(!t.Prior());
        QVERIFY(t.Bof() && !t.Eof());
        QCOMPARE(t.FieldByIndex(1), QStringLiteral("1"));

        // The walk used everywhere.
        QStringList seen;
        for (t.First(); !t.Eof(); t.Next())
            seen.append(t.FieldByIndex(1));
        QCOMPARE(seen, (QStringList{"1", "2", "3"}));
        QVERIFY(!t.Bof());
        QCOMPARE(t.CurrentIndex(), 2);

        QVERIFY(t.Last());
        QVERIFY(t.Prior());
        QCOMPARE(t.FieldByIndex(1), QStringLiteral("2"));

        QVERIFY(!t.GoToRecord(0));
        QVERIFY(t.Bof() && t.Eof());
        QCOMPARE(t.CurrentIndex(), 1);
        QVERIFY(!t.GoToRecord(4));
        QCOMPARE(t.CurrentIndex(), 1);
        QVERIFY(t.GoToRecord(3));
        QVERIFY(!t.Bof() && !t.Eof());

        t.ClearRecords();
        QVERIFY(t.Bof() && t.Eof());
        QCOMPARE(t.FieldCount(), 1);
        QCOMPARE(t.CurrentIndex(), -1);
        QCOMPARE(t.FieldByIndex(1), QString());
        QVERIFY(!t.SetFieldByIndex(1, QStringLiteral("x")));
    }

    void outOfRangeGivesEmptyOrFalse()
    {
        TMlb2 t = load("a,b\r\n1,2\r\n");
        QCOMPARE(t.FieldName(0), QString());
        QCOMPARE(t.FieldName(3), QString());
        QCOMPARE(t.FieldType(3), QString());
        QCOMPARE(t.Cell(1, 2), QString());
        QCOMPARE(t.Cell(3, 1), QString());
        QCOMPARE(t.FieldByName(QStringLiteral("nope")), QString());
        QVERIFY(!t.SetFieldByName(QStringLiteral("nope"), QStringLiteral("x")));
        QVERIFY(!t.DeleteRecord(0));
        QVERIFY(!t.DeleteRecord(2));
        QCOMPARE(t.RecordCount(), 1);
        QVERIFY(!t.AddField(QString()));
        QVERIFY(!t.AddField(QStringLiteral("   ")));
        QVERIFY(!t.AddField(QStringLiteral("B")));
        QVERIFY(t.AddField(QStringLiteral("c")));
        QCOMPARE(t.Cell(3, 1), QString()); // new field, empty value in every record
    }

    void fieldLookupIgnoresCase()
    {
        TMlb2 t = load("BackupName,Ｂ\r\nx,y\r\n");
        QCOMPARE(t.FieldByName(QStringLiteral("backupname")), QStringLiteral("x"));
        QCOMPARE(t.FieldByName(QStringLiteral("ｂ")), QStringLiteral("y"));
    }

    void deleteRecordKeepsTheIndex()
    {
        TMlb2 t = load("a\r\n1\r\n2\r\n3\r\n");
        t.GoToRecord(2);
        QVERIFY(t.DeleteRecord(1));
        QCOMPARE(t.RecordCount(), 2);
        QCOMPARE(t.CurrentIndex(), 1);
        QCOMPARE(t.FieldByIndex(1), QStringLiteral("3"));
        t.Last();
        QVERIFY(t.DeleteRecord(2)); // the record under the cursor
        QCOMPARE(t.FieldByIndex(1), QString());
        QVERIFY(!t.Next());
        QVERIFY(t.Prior());
        QCOMPARE(t.FieldByIndex(1), QStringLiteral("2"));
    }

    void findAfterFirstExaminesTheFirstRecord()
    {
        TMlb2 t = load("name,v\r\njob,1\r\nother,2\r\njob,3\r\n");
        QVERIFY(!t.Find(QStringLiteral("name"), QStringLiteral("="), QStringLiteral("x")));
        t.First();
        QVERIFY(t.Find(QStringLiteral("name"), QStringLiteral("="), QStringLiteral("job")));
        QCOMPARE(t.FieldByName(QStringLiteral("v")), QStringLiteral("1"));
        // A second Find goes on after the match.
        QVERIFY(t.Find(QStringLiteral("name"), QStringLiteral("="), QStringLiteral("job")));
        QCOMPARE(t.FieldByName(QStringLiteral("v")), QStringLiteral("3"));
        // No further match: the cursor returns where it was.
        QVERIFY(!t.Find(QStringLiteral("name"), QStringLiteral("="), QStringLiteral("job")));
        QCOMPARE(t.CurrentIndex(), 2);
        QVERIFY(!t.Bof() && !t.Eof());
        // Letter case counts for values.
        t.First();
        QVERIFY(!t.Find(QStringLiteral("name"), QStringLiteral("="), QStringLiteral("JOB")));
        QCOMPARE(t.CurrentIndex(), 0);
        // Without First the search starts after the current record.
        t.GoToRecord(1);
        QVERIFY(t.Find(QStringLiteral("name"), QStringLiteral("="), QStringLiteral("job")));
        QCOMPARE(t.CurrentIndex(), 2);
        t.First();
        QVERIFY(t.Find(QStringLiteral("v"), QStringLiteral(">"), QStringLiteral("1")));
        QCOMPARE(t.CurrentIndex(), 1);
        QVERIFY(!t.Find(QStringLiteral("v"), QStringLiteral("LIKE"), QStringLiteral("%")));
        TMlb2 empty = csvTable();
        QVERIFY(!empty.Find(QStringLiteral("name"), QStringLiteral("="), QString()));
    }

    void sortsLogDatesNewestFirst()
    {
        TMlb2 t;
        t.SetSeparator(QLatin1Char('\t'));
        t.AddField(QStringLiteral("logcategory"));
        t.AddField(QStringLiteral("logdate"));
        const QStringList dates = {"2024/05/19 23:59:59:999", "2024/05/20 00:00:00:000",
                                   "2023/12/31 10:00:00:000", "2024/05/20 00:00:00:001",
                                   "2024/05/01 08:15:00:500"};
        for (const QString &d : dates) {
            t.AppendRecord();
            t.SetFieldByName(QStringLiteral("logdate"), d);
        }
        QVERIFY(t.Sort(QStringLiteral("LOGDATE"), false));
        QStringList sorted = dates;
        std::sort(sorted.begin(), sorted.end(), std::greater<QString>());
        QStringList got;
        for (t.First(); !t.Eof(); t.Next())
            got.append(t.FieldByName(QStringLiteral("logdate")));
        QCOMPARE(got, sorted);

        QVERIFY(t.Sort(QStringLiteral("logdate"), true));
        QCOMPARE(t.Cell(2, 1), QStringLiteral("2023/12/31 10:00:00:000"));
        QVERIFY(!t.Sort(QStringLiteral("missing"), true));
        TMlb2 one;
        one.AddField(QStringLiteral("a"));
        one.AppendRecord();
        QVERIFY(!one.Sort(QStringLiteral("a"), true));
    }

    void sortHandlesLargeAndAdversarialOrders()
    {
        // Many equal keys, sorted and reversed runs: all must come out ordered without
        // running out of stack.
        TMlb2 t;
        t.AddField(QStringLiteral("k"));
        const int n = 200000;
        for (int i = 0; i < n; ++i) {
            t.AppendRecord();
            const int key = i < n / 2 ? i : (i % 7);
            t.SetFieldByIndex(1, QStringLiteral("%1").arg(key, 8, 10, QLatin1Char('0')));
        }
        QVERIFY(t.Sort(QStringLiteral("k"), true));
        for (int r = 2; r <= n; ++r) {
            if (t.Cell(1, r - 1) > t.Cell(1, r))
                QFAIL(qPrintable(QStringLiteral("out of order at %1").arg(r)));
        }
        QVERIFY(t.Sort(QStringLiteral("k"), false));
        QCOMPARE(t.Cell(1, 1), QStringLiteral("%1").arg(n / 2 - 1, 8, 10, QLatin1Char('0')));
    }

    void sortIsByteOrderForUtf8()
    {
        TMlb2 t;
        t.AddField(QStringLiteral("k"));
        const QStringList keys = {QString::fromUtf8("\xF0\x9F\x98\x80"), // U+1F600
                                  QString::fromUtf8("\xEF\xBD\x81"),     // U+FF41
                                  QStringLiteral("ab"), QStringLiteral("a")};
        for (const QString &k : keys) {
            t.AppendRecord();
            t.SetFieldByIndex(1, k);
        }
        t.Sort(QStringLiteral("k"), true);
        QStringList got;
        for (int r = 1; r <= 4; ++r)
            got.append(t.Cell(1, r));
        QStringList expected = keys;
        std::sort(expected.begin(), expected.end(),
                  [](const QString &a, const QString &b) { return a.toUtf8() < b.toUtf8(); });
        QCOMPARE(got, expected);
    }

    void copyFromCopiesFieldsTypesAndRecords()
    {
        TMlb2 src = load("a,b\r\n1,2\r\n3,4\r\n");
        src.SetFieldType(2, QStringLiteral("FLOAT"));
        TMlb2 dst;
        dst.AddField(QStringLiteral("old"));
        dst.SetSeparator(QLatin1Char('\t'));
        dst.CopyFrom(src);
        QCOMPARE(dst.FieldCount(), 2);
        QCOMPARE(dst.FieldName(2), QStringLiteral("b"));
        QCOMPARE(dst.FieldType(2), QStringLiteral("FLOAT"));
        QCOMPARE(dst.RecordCount(), 2);
        QCOMPARE(dst.CurrentIndex(), 1); // on the last record
        QCOMPARE(dst.FieldByName(QStringLiteral("a")), QStringLiteral("3"));
        QCOMPARE(dst.Separator(), QLatin1Char('\t'));
    }

    void appendRecordsRefusesOtherFieldCounts()
    {
        TMlb2 a = load("a,b\r\n1,2\r\n");
        TMlb2 b = csvTable();
        b.AddField(QStringLiteral("x"));
        b.AppendRecord();
        QVERIFY(!a.AppendRecords(b));
        QCOMPARE(a.RecordCount(), 1);
        b.AddField(QStringLiteral("y")); // names differ, count matches
        b.SetFieldByIndex(2, QStringLiteral("z"));
        QVERIFY(a.AppendRecords(b));
        QCOMPARE(a.RecordCount(), 2);
        QCOMPARE(a.Cell(2, 2), QStringLiteral("z"));
        QVERIFY(a.AppendRecords(a)); // itself: doubles once
        QCOMPARE(a.RecordCount(), 4);
    }

    void saveReplacesAtomicallyAndKeepsTheMode()
    {
        const QString p = path(QStringLiteral("mode.csv"));
        writeBytes(p, "\"old\"\r\n");
        QVERIFY(::chmod(QFile::encodeName(p).constData(), 0640) == 0);
        TMlb2 t = csvTable();
        t.AddField(QStringLiteral("new"));
        QVERIFY(t.SaveToFile(p));
        struct stat st
        {
        };
        QVERIFY(::stat(QFile::encodeName(p).constData(), &st) == 0);
        QCOMPARE(st.st_mode & 07777, 0640u);
        QCOMPARE(readBytes(p), QByteArray("\"new\"\r\n"));
        // No temporary file is left behind.
        QCOMPARE(
            QDir(m_dir.path()).entryList(QStringList{".mode.csv*"}, QDir::Hidden | QDir::Files),
            QStringList());

        // A new file is private.
        const QString fresh = path(QStringLiteral("fresh.csv"));
        QVERIFY(t.SaveToFile(fresh));
        QVERIFY(::stat(QFile::encodeName(fresh).constData(), &st) == 0);
        QCOMPARE(st.st_mode & 07777, 0600u);
    }

    void saveThroughASymlinkReplacesItsTarget()
    {
        const QString real = path(QStringLiteral("real.csv"));
        const QString link = path(QStringLiteral("link.csv"));
        writeBytes(real, "\"a\"\r\n");
        QVERIFY(QFile::link(real, link));
        TMlb2 t = csvTable();
        t.AddField(QStringLiteral("b"));
        QVERIFY(t.SaveToFile(link));
        QVERIFY(QFileInfo(link).isSymLink());
        QCOMPARE(readBytes(real), QByteArray("\"b\"\r\n"));
    }

    void failedSaveLeavesTheFile()
    {
        const QString folder = path(QStringLiteral("ro"));
        QVERIFY(QDir().mkpath(folder));
        const QString p = folder + QStringLiteral("/t.csv");
        writeBytes(p, "\"keep\"\r\n");
        TMlb2 t = csvTable();
        t.AddField(QStringLiteral("x"));
        QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0500) == 0);
        const bool root = ::geteuid() == 0; // root writes anywhere
        const bool saved = t.SaveToFile(p);
        ::chmod(QFile::encodeName(folder).constData(), 0700);
        if (!root) {
            QVERIFY(!saved);
            QCOMPARE(readBytes(p), QByteArray("\"keep\"\r\n"));
        }
        // A file without write permission is not replaced either.
        QVERIFY(::chmod(QFile::encodeName(p).constData(), 0400) == 0);
        const bool savedReadOnly = t.SaveToFile(p);
        ::chmod(QFile::encodeName(p).constData(), 0600);
        if (!root) {
            QVERIFY(!savedReadOnly);
            QCOMPARE(readBytes(p), QByteArray("\"keep\"\r\n"));
        }
        QVERIFY(!t.SaveToFile(path(QStringLiteral("no/such/folder/t.csv"))));
        QVERIFY(!t.SaveToFile(m_dir.path())); // a folder

        // Records without fields cannot be written in a form that reads back.
        writeBytes(p, "\"keep\"\r\n");
        TMlb2 noFields = csvTable();
        noFields.AppendRecord();
        QVERIFY(!noFields.SaveToFile(p));
        QCOMPARE(readBytes(p), QByteArray("\"keep\"\r\n"));
    }

    void badInputNeverCrashes()
    {
        // Binary garbage, truncations of a good file, a huge single line and a long run of
        // unbalanced quotation marks: every load succeeds and gives a consistent table.
        QByteArray good = "\"a\",\"b\",\"c\"\r\n\"1\",\"x\"\"y\",\"z\"\r\n\"2\",\"\",\"w\"\r\n";
        for (int cut = 0; cut <= good.size(); ++cut) {
            TMlb2 t = load(good.left(cut));
            QVERIFY(t.FieldCount() <= 3);
            for (int r = 1; r <= t.RecordCount(); ++r)
                QVERIFY(recordValues(t, r).size() == t.FieldCount());
        }
        QRandomGenerator rng(12345);
        for (int round = 0; round < 200; ++round) {
            QByteArray junk(static_cast<int>(rng.bounded(4096)), Qt::Uninitialized);
            for (char &c : junk)
                c = static_cast<char>(rng.bounded(256));
            if (round % 3 == 0) // bias towards the special bytes
                for (char &c : junk)
                    c = ",\"\r\n\xff\x00a"[rng.bounded(7)];
            TMlb2 t = load(junk);
            QVERIFY(t.RecordCount() >= 0);
            t.Sort(QStringLiteral("a"), false);
        }
        QByteArray line(10 * 1024 * 1024, 'x');
        for (int i = 999; i < line.size(); i += 1000)
            line[i] = ',';
        TMlb2 big = load("h\r\n" + line);
        QCOMPARE(big.RecordCount(), 1);
        QCOMPARE(big.Cell(1, 1).size(), 999);
        TMlb2 huge = load(QByteArray(10 * 1024 * 1024, 'y'));
        QCOMPARE(huge.FieldCount(), 1);
        QCOMPARE(huge.FieldName(1).size(), 10 * 1024 * 1024);
        TMlb2 quotes = load(QByteArray(1024 * 1024 + 1, '"'));
        QCOMPARE(quotes.FieldCount(), 1);
    }

    void noQuoteCharReadsMarksAsText()
    {
        writeBytes(path(QStringLiteral("q.log")), "a\tb\r\nsay \"hi\tthere\r\nnext\t\"\r\n");
        TMlb2 t;
        t.SetSeparator(QLatin1Char('\t'));
        t.SetQuoteChar(QChar());
        QVERIFY(t.QuoteChar().isNull());
        QVERIFY(t.LoadFromFile(path(QStringLiteral("q.log"))));
        QCOMPARE(t.RecordCount(), 2);
        QCOMPARE(t.Cell(1, 1), QStringLiteral("say \"hi"));
        QCOMPARE(t.Cell(2, 1), QStringLiteral("there"));
        QCOMPARE(t.Cell(2, 2), QStringLiteral("\""));
        // Non-ASCII separators are refused: the reader matches single bytes.
        t.SetSeparator(QChar(0x3001));
        QCOMPARE(t.Separator(), QLatin1Char('\t'));
    }
};

QTEST_GUILESS_MAIN(TableTest)
#include "TableTest.moc"
