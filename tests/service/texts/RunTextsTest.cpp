#include "service/BackUpThread.h"
#include "shared/JobTable.h"

#include <QtTest>

using namespace norvex::service;

class RunTextsTest : public QObject
{
    Q_OBJECT

private slots:
    void formatsDurationsAsTimeOfDay_data()
    {
        QTest::addColumn<qint64>("msecs");
        QTest::addColumn<QString>("text");
        QTest::newRow("zero") << qint64(0) << "00:00:00";
        QTest::newRow("fraction dropped") << qint64(1999) << "00:00:01";
        QTest::newRow("hours") << qint64((13 * 3600 + 5 * 60 + 9) * 1000) << "13:05:09";
        QTest::newRow("25 h 3 min") << qint64((25 * 3600 + 3 * 60) * 1000) << "01:03:00";
        QTest::newRow("clock stepped back") << qint64(-5000) << "00:00:00";
    }
    void formatsDurationsAsTimeOfDay()
    {
        QFETCH(qint64, msecs);
        QFETCH(QString, text);
        QCOMPARE(formatDuration(msecs), text);
    }

    void formatsSizesInThousandsOfBytes_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("empty") << qint64(0) << " KB";
        QTest::newRow("999 bytes") << qint64(999) << " KB";
        QTest::newRow("1000 bytes") << qint64(1000) << "1 KB";
        QTest::newRow("999,999") << qint64(999999) << "999 KB";
        QTest::newRow("1,234,567") << qint64(1234567) << "1,234 KB";
        QTest::newRow("beyond the pattern") << qint64(5'000'000'000'000) << "5,000,000,000 KB";
    }
    void formatsSizesInThousandsOfBytes()
    {
        QFETCH(qint64, bytes);
        QFETCH(QString, text);
        QCOMPARE(formatKilobytes(bytes), text);
    }

    void formatsExcludedCounts_data()
    {
        QTest::addColumn<qint64>("files");
        QTest::addColumn<qint64>("folders");
        QTest::addColumn<QString>("text");
        QTest::newRow("nothing") << qint64(0) << qint64(0) << "除外 ファイル 0 件 フォルダ 0 件";
        QTest::newRow("some") << qint64(12) << qint64(3) << "除外 ファイル 12 件 フォルダ 3 件";
        QTest::newRow("grouped") << qint64(200000) << qint64(1234)
                                 << "除外 ファイル 200,000 件 フォルダ 1,234 件";
    }
    void formatsExcludedCounts()
    {
        QFETCH(qint64, files);
        QFETCH(qint64, folders);
        QFETCH(QString, text);
        QCOMPARE(formatExcluded({files, folders}), text);
    }

    void refusesNamesThatLeaveTheTemporaryFolder_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("safe");
        QTest::newRow("plain") << "daily" << true;
        QTest::newRow("dots and spaces") << "web.site backup .." << true;
        QTest::newRow("Japanese") << "日次バックアップ" << true;
        QTest::newRow("backslash") << "a\\b" << true;
        QTest::newRow("slash") << "../etc/x" << false;
        QTest::newRow("tab") << "a\tb" << false;
        QTest::newRow("line break") << "a\r\nb" << false;
        QTest::newRow("DEL") << "a\x7f" << false;
        QTest::newRow("C1 control") << QString(QChar(0x85)) << false;
    }
    void refusesNamesThatLeaveTheTemporaryFolder()
    {
        QFETCH(QString, name);
        QFETCH(bool, safe);
        QCOMPARE(norvex::shared::isSafeJobName(name), safe);
    }
};

QTEST_GUILESS_MAIN(RunTextsTest)
#include "RunTextsTest.moc"
