// The exclude patterns as the walkers ask them, item by item, and as the job table stores
// them.
#include "shared/ExcludePatterns.h"
#include "shared/JobTable.h"
#include "shared/mlb2.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace norvex::shared;

class ExcludePatternsTest : public QObject
{
    Q_OBJECT

private slots:
    void matchesItemsBelowTheSource_data()
    {
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<QByteArray>("below");
        QTest::addColumn<bool>("folder");
        QTest::addColumn<bool>("excluded");
        // Unanchored: the item's own name, at any depth.
        QTest::newRow("name at top") << "*.tmp" << QByteArray("a.tmp") << false << true;
        QTest::newRow("name deep") << "*.tmp" << QByteArray("x/y/a.tmp") << false << true;
        QTest::newRow("star stops at the name")
            << "*.tmp" << QByteArray("a.tmp/b") << false << false;
        QTest::newRow("not a suffix") << "*.tmp" << QByteArray("a.tmpx") << false << false;
        QTest::newRow("case matters") << "*.tmp" << QByteArray("A.TMP") << false << false;
        QTest::newRow("question one char") << "?.log" << QByteArray("a.log") << false << true;
        QTest::newRow("question not two") << "?.log" << QByteArray("ab.log") << false << false;
        QTest::newRow("question one kanji") << "?.txt" << QByteArray("日.txt") << false << true;
        QTest::newRow("Japanese name") << "写真*" << QByteArray("a/写真 2024") << true << true;
        QTest::newRow("space in pattern")
            << "my file.txt" << QByteArray("d/my file.txt") << false << true;
        QTest::newRow("blanks at the ends ignored")
            << "  *.o\t" << QByteArray("m.o") << false << true;
        QTest::newRow("escaped trailing space") << "a\\ " << QByteArray("a ") << false << true;
        QTest::newRow("escaped trailing space, plain name")
            << "a\\ " << QByteArray("a") << false << false;
        // Sets.
        QTest::newRow("set") << "[abc].txt" << QByteArray("b.txt") << false << true;
        QTest::newRow("range") << "v[0-9]" << QByteArray("v7") << false << true;
        QTest::newRow("range miss") << "v[0-9]" << QByteArray("vx") << false << false;
        QTest::newRow("negated !") << "[!a-c]*" << QByteArray("d.txt") << false << true;
        QTest::newRow("negated ^ miss") << "[^a-c]*" << QByteArray("b.txt") << false << false;
        QTest::newRow("] first is literal") << "[]x]" << QByteArray("]") << false << true;
        QTest::newRow("kanji range") << "[一-龯]" << QByteArray("本") << false << true;
        QTest::newRow("escaped brackets")
            << "report \\[1\\].txt" << QByteArray("report [1].txt") << false << true;
        QTest::newRow("brackets as a set")
            << "report [1].txt" << QByteArray("report [1].txt") << false << false;
        QTest::newRow("brackets as a set, hit")
            << "report [1].txt" << QByteArray("report 1.txt") << false << true;
        // Folders only, and a file and a folder of one name.
        QTest::newRow("folder pattern, folder")
            << "build/" << QByteArray("x/build") << true << true;
        QTest::newRow("folder pattern, file")
            << "build/" << QByteArray("x/build") << false << false;
        QTest::newRow("plain pattern, folder") << "build" << QByteArray("build") << true << true;
        // Anchored at the source folder.
        QTest::newRow("leading slash, top") << "/logs" << QByteArray("logs") << true << true;
        QTest::newRow("leading slash, deeper") << "/logs" << QByteArray("a/logs") << true << false;
        QTest::newRow("inner slash") << "a/b.txt" << QByteArray("a/b.txt") << false << true;
        QTest::newRow("inner slash, not below")
            << "a/b.txt" << QByteArray("x/a/b.txt") << false << false;
        QTest::newRow("anchored folder") << "a/cache/" << QByteArray("a/cache") << true << true;
        QTest::newRow("anchored folder, file")
            << "a/cache/" << QByteArray("a/cache") << false << false;
        QTest::newRow("anchored Japanese with space")
            << "写真/旅行 2024/*.jpg" << QByteArray("写真/旅行 2024/p.jpg") << false << true;
        // "**".
        QTest::newRow("** none") << "docs/**/*.pdf" << QByteArray("docs/a.pdf") << false << true;
        QTest::newRow("** some") << "docs/**/*.pdf" << QByteArray("docs/x/y/a.pdf") << false
                                 << true;
        QTest::newRow("** elsewhere")
            << "docs/**/*.pdf" << QByteArray("other/a.pdf") << false << false;
        QTest::newRow("leading **") << "**/cache" << QByteArray("a/b/cache") << true << true;
        QTest::newRow("leading ** at top") << "**/cache" << QByteArray("cache") << true << true;
        QTest::newRow("trailing ** inside") << "tmp/**" << QByteArray("tmp/a/b") << false << true;
        QTest::newRow("trailing ** not the folder")
            << "tmp/**" << QByteArray("tmp") << true << false;
        QTest::newRow("** alone") << "**" << QByteArray("anything") << false << true;
        QTest::newRow("** inside a name is *") << "a**z" << QByteArray("abcz") << false << true;
        // Names that are not UTF-8: a stray byte is one character, never a typed letter.
        QTest::newRow("latin-1 by ?") << "caf?.txt" << QByteArray("caf\xE9.txt") << false << true;
        QTest::newRow("latin-1 by *") << "*.tmp" << QByteArray("caf\xE9.tmp") << false << true;
        QTest::newRow("latin-1 not é") << "café.txt" << QByteArray("caf\xE9.txt") << false << false;
        QTest::newRow("utf-8 é") << "café.txt" << QByteArray("café.txt") << false << true;
        // The source itself is never matched.
        QTest::newRow("source itself") << "*" << QByteArray() << true << false;
    }
    void matchesItemsBelowTheSource()
    {
        QFETCH(QString, pattern);
        QFETCH(QByteArray, below);
        QFETCH(bool, folder);
        QFETCH(bool, excluded);
        QVERIFY2(ExcludePatterns::problem(pattern).isEmpty(),
                 qPrintable(ExcludePatterns::problem(pattern)));
        const ExcludePatterns patterns(QStringList{pattern});
        QCOMPARE(patterns.excludes(std::string_view(below.constData(), std::size_t(below.size())),
                                   folder),
                 excluded);
    }

    void refusesMalformedPatterns_data()
    {
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<QString>("reason");
        QTest::newRow("unclosed [") << "*.[ch"
                                    << "「[」に対応する「]」がありません。";
        QTest::newRow("unclosed [!]") << "[!]"
                                      << "「[」に対応する「]」がありません。";
        QTest::newRow("set across /") << "a[b/c]"
                                      << "「[」に対応する「]」がありません。";
        QTest::newRow("trailing backslash") << "abc\\"
                                            << "「\\」の後に文字がありません。";
        QTest::newRow("reversed range") << "[z-a]"
                                        << "「[」と「]」の間の範囲 z-a が逆順です。";
        QTest::newRow("slashes only") << "//"
                                      << "「/」だけのパターンは使えません。";
        QTest::newRow("blank") << "   "
                               << "パターンが空です。";
    }
    void refusesMalformedPatterns()
    {
        QFETCH(QString, pattern);
        QFETCH(QString, reason);
        QCOMPARE(ExcludePatterns::problem(pattern), reason);
        // A walk never fails on one: the pattern is simply not used.
        const ExcludePatterns patterns(QStringList{pattern, QStringLiteral("*.o")});
        QVERIFY(patterns.excludes("x.o", false));
        QVERIFY(!patterns.excludes("abc", false));
    }

    // The column survives the table file with patterns holding spaces, commas, quotation
    // marks and backslashes; a table without it reads as no patterns.
    void patternsSurviveTheJobTable()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("backuplist.csv"));
        const QStringList patterns = {QStringLiteral("node_modules/"),
                                      QStringLiteral("my \"old\" files, 2024/"),
                                      QStringLiteral("a\\ "), QStringLiteral("日本語 *.tmp")};
        TMlb2 table;
        setupJobTable(table);
        for (const QString &field : jobFieldNames())
            table.AddField(field);
        table.AppendRecord();
        QCOMPARE(decodeExcludes(table.FieldByName(QLatin1String(ExcludeField))), QStringList());
        table.AppendRecord();
        QVERIFY(setJobField(table, QLatin1String(ExcludeField), encodeExcludes(patterns)));
        QVERIFY(table.SaveToFile(path));

        TMlb2 read;
        setupJobTable(read);
        QVERIFY(read.LoadFromFile(path));
        QCOMPARE(read.FieldCount(), 20);
        QVERIFY(read.GoToRecord(2));
        QCOMPARE(decodeExcludes(read.FieldByName(QLatin1String(ExcludeField))), patterns);
        QVERIFY(read.GoToRecord(1));
        QCOMPARE(decodeExcludes(read.FieldByName(QLatin1String(ExcludeField))), QStringList());
        QCOMPARE(encodeExcludes({}), QString());
    }
};

QTEST_GUILESS_MAIN(ExcludePatternsTest)
#include "ExcludePatternsTest.moc"
