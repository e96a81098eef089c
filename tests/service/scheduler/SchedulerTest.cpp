#include "service/Scheduler.h"
#include "service/support/Jobs.h"
#include "shared/JobTable.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace norvex;
using norvex::testing::localJob;

namespace {

QDateTime at(const char *text)
{
    return shared::readDateTime(QString::fromLatin1(text));
}

// One installation folder, a clock the test sets, and a launcher that only records.
struct Rig
{
    QTemporaryDir dir{QString::fromLocal8Bit(qgetenv("NORVEX_HOME")) + QStringLiteral("/t-XXXXXX")};
    QString home = dir.path() + QLatin1Char('/');
    shared::ManualClock clock{at("2024/05/01 10:00:00")};
    QObject token;
    QList<int> launched;
    service::Scheduler scheduler{home, clock, [this](int i, int) {
                                     launched.append(i);
                                     return &token;
                                 }};
};

QString fileValue(const QString &home, int index, const char *field)
{
    return norvex::testing::readJobs(home).value(index).value(QLatin1String(field));
}

QByteArray fileBytes(const QString &home)
{
    QFile f(shared::jobTablePath(home));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

int errorEntries(const QString &home)
{
    int n = 0;
    for (const QString &line : norvex::testing::logLines(home))
        n += line.startsWith(QLatin1String("E\t"));
    return n;
}

} // namespace

class SchedulerTest : public QObject
{
    Q_OBJECT

private slots:
    void dueOnlyWhenStrictlyPast()
    {
        Rig r;
        QVERIFY(norvex::testing::writeJobs(r.home, {localJob("a", "2024/05/01 10:00:00")}));
        r.scheduler.load();
        r.scheduler.tick();
        QVERIFY(r.launched.isEmpty());
        r.clock.set(at("2024/05/01 10:00:00").addMSecs(1));
        r.scheduler.tick();
        QCOMPARE(r.launched, QList<int>{0});
        QVERIFY(r.scheduler.isRunning(0));
    }

    void reschedulesOnTheGrid_data()
    {
        QTest::addColumn<int>("interval");
        QTest::addColumn<QString>("unit");
        QTest::addColumn<QString>("backupdt");
        QTest::addColumn<QString>("end");
        QTest::addColumn<QString>("next");
        QTest::newRow("missed hours skipped") << 1 << "h"
                                              << "2024/05/01 10:00:00"
                                              << "2024/05/01 13:30:10"
                                              << "2024/05/01 14:00:00";
        QTest::newRow("equal accepted") << 1 << "h"
                                        << "2024/05/01 13:00:00"
                                        << "2024/05/01 14:00:00"
                                        << "2024/05/01 14:00:00";
        QTest::newRow("two days") << 2 << "d"
                                  << "2024/01/01 02:00:00"
                                  << "2024/01/03 05:00:00"
                                  << "2024/01/05 02:00:00";
        QTest::newRow("week old daily") << 1 << "d"
                                        << "2024/04/24 02:00:00"
                                        << "2024/05/01 10:00:00"
                                        << "2024/05/02 02:00:00";
        QTest::newRow("23 hours") << 23 << "h"
                                  << "2024/05/01 00:00:00"
                                  << "2024/05/01 00:00:01"
                                  << "2024/05/01 23:00:00";
    }

    void reschedulesOnTheGrid()
    {
        QFETCH(int, interval);
        QFETCH(QString, unit);
        QFETCH(QString, backupdt);
        QFETCH(QString, end);
        QFETCH(QString, next);
        Rig r;
        r.clock.set(at("2024/06/01 00:00:00")); // every start time lies in the past
        QVERIFY(norvex::testing::writeJobs(r.home, {localJob("a", backupdt, interval, unit)}));
        r.scheduler.load();
        r.scheduler.tick();
        QCOMPARE(r.launched, QList<int>{0});
        r.clock.set(shared::readDateTime(end));
        QCOMPARE(shared::formatDateTime(r.scheduler.reschedule(0)), next);
        QCOMPARE(fileValue(r.home, 0, "backupdt"), next);
        QCOMPARE(r.scheduler.jobRow(0).FieldByName(QStringLiteral("backupdt")), next);
    }

    void runNowReturnsToTheGrid()
    {
        Rig r;
        const QDateTime planned = at("2024/05/01 18:00:00");
        const QDateTime moved = shared::runNowTime(planned, 3, QLatin1Char('h'), r.clock.now());
        QCOMPARE(shared::formatDateTime(moved), QStringLiteral("2024/05/01 09:00:00"));
        QVERIFY(
            norvex::testing::writeJobs(r.home, {localJob("a", shared::formatDateTime(moved), 3)}));
        r.scheduler.load();
        r.scheduler.tick();
        r.clock.advanceSecs(120);
        QCOMPARE(r.scheduler.reschedule(0), at("2024/05/01 12:00:00"));
    }

    void startsEveryDueJobOnceInOneTick()
    {
        Rig r;
        QVERIFY(norvex::testing::writeJobs(r.home, {localJob("a", "2024/05/01 09:00:00"),
                                                    localJob("later", "2024/05/01 11:00:00"),
                                                    localJob("b", "2024/04/24 09:59:59", 1, "d")}));
        r.scheduler.load();
        r.scheduler.tick();
        QCOMPARE(r.launched, (QList<int>{0, 2}));
        r.clock.advanceSecs(10);
        r.scheduler.tick();
        r.scheduler.tick();
        QCOMPARE(r.launched, (QList<int>{0, 2})); // slots taken: nothing started twice
    }

    void reloadsOnlyWhenIdleAndNoRunIsOpen()
    {
        Rig r;
        QVERIFY(norvex::testing::writeJobs(r.home, {localJob("a", "2024/05/01 09:00:00")}));
        r.scheduler.load();
        QCOMPARE(r.scheduler.loadCount(), 1);
        r.scheduler.tick();
        QVERIFY(norvex::testing::writeJobs(r.home, {localJob("a", "2024/05/01 09:00:00"),
                                                    localJob("added", "2024/05/01 09:30:00")}));
        r.scheduler.tick();
        QCOMPARE(r.scheduler.jobCount(), 1);

        r.scheduler.reschedule(0); // no longer due, but the run has not ended yet
        r.scheduler.tick();
        QCOMPARE(r.scheduler.loadCount(), 1);
        QCOMPARE(r.launched, QList<int>{0});

        r.scheduler.endRun(0);
        r.scheduler.tick(); // idle: reload
        QCOMPARE(r.scheduler.jobCount(), 2);
        QCOMPARE(r.scheduler.loadCount(), 2);
        QCOMPARE(r.scheduler.jobRow(1).FieldByName(QStringLiteral("backupname")),
                 QStringLiteral("added"));
        r.scheduler.tick(); // the added job starts at the tick after the reload
        QCOMPARE(r.launched, (QList<int>{0, 1}));
    }

    void keepsWhatTheConfigurationProgramSavedDuringARun()
    {
        Rig r;
        auto a = localJob("a", "2024/05/01 09:00:00");
        auto b = localJob("b", "2024/05/01 12:00:00");
        QVERIFY(norvex::testing::writeJobs(r.home, {a, b}));
        r.scheduler.load();
        r.scheduler.tick();

        a[QStringLiteral("localbackupdir")] = QStringLiteral("/srv/new place");
        b[QStringLiteral("backupint")] = QStringLiteral("5");
        auto c = localJob("c", "2024/05/02 01:00:00");
        QVERIFY(norvex::testing::writeJobs(r.home, {a, b, c}));
        r.clock.advanceSecs(600);
        r.scheduler.reschedule(0);

        const auto jobs = norvex::testing::readJobs(r.home);
        QCOMPARE(jobs.size(), 3);
        a[QStringLiteral("backupdt")] = QStringLiteral("2024/05/01 11:00:00");
        QCOMPARE(jobs[0], a);
        QCOMPARE(jobs[1], b);
        QCOMPARE(jobs[2], c);
    }

    void writesNothingWhenTheJobIsGone()
    {
        Rig r;
        QVERIFY(norvex::testing::writeJobs(r.home, {localJob("a", "2024/05/01 09:00:00")}));
        r.scheduler.load();
        r.scheduler.tick();
        QVERIFY(norvex::testing::writeJobs(r.home, {localJob("other", "2024/05/01 09:00:00")}));
        const QByteArray before = fileBytes(r.home);
        r.scheduler.reschedule(0);
        QCOMPARE(fileBytes(r.home), before);
        r.scheduler.endRun(0);
        r.scheduler.tick(); // reload; "other" is due and starts at the next tick
        r.scheduler.tick();
        QCOMPARE(r.launched, (QList<int>{0, 0}));
    }

    void startsNoJobWhileAnotherOfItsNameRuns()
    {
        Rig r;
        QVERIFY(norvex::testing::writeJobs(r.home, {localJob("twin", "2024/05/01 09:00:00"),
                                                    localJob("b", "2024/05/01 11:00:00"),
                                                    localJob("twin", "2024/05/01 09:30:00")}));
        r.scheduler.load();
        r.scheduler.tick();
        r.clock.advanceSecs(10);
        r.scheduler.tick();
        QCOMPARE(r.launched, QList<int>{0});
        const QStringList lines = norvex::testing::logLines(r.home);
        QCOMPARE(lines.size(), 1); // once, not at every tick
        QCOMPARE(norvex::testing::withoutStamp(lines[0]),
                 QStringLiteral("E\ttwin 同じ名称のバックアップ処理が実行中のため処理を開始できま"
                                "せん。\tバックアップ設定 1 行目と 3 行目のバックアップ名称が同じ"
                                "です。"));

        // When the first has ended, the other starts.
        r.scheduler.reschedule(0);
        r.scheduler.endRun(0);
        r.scheduler.tick();
        QCOMPARE(r.launched, (QList<int>{0, 2}));
        QCOMPARE(errorEntries(r.home), 1);
    }

    void reportsBadRowsOnceAndRunsTheOthers()
    {
        Rig r;
        auto badDate = localJob("baddate", "2024/13/45 99:00:00");
        auto zero = localJob("zero", "2024/05/01 09:00:00", 0);
        auto unit = localJob("unit", "2024/05/01 09:00:00", 1, "x");
        QVERIFY(norvex::testing::writeJobs(
            r.home, {badDate, zero, unit, localJob("good", "2024/05/01 09:00:00")}));
        r.scheduler.load();
        for (int i = 0; i < 4; ++i) {
            r.scheduler.tick();
            r.clock.advanceSecs(10);
        }
        QCOMPARE(r.launched, QList<int>{3});
        const QStringList lines = norvex::testing::logLines(r.home);
        QCOMPARE(errorEntries(r.home), 3);
        QVERIFY(lines[0].contains(
            QStringLiteral("\tbaddate バックアップ設定に誤りがあるため処理を開始できません。\t")));
        QVERIFY(lines[0].contains(QLatin1String("2024/13/45 99:00:00")));
        QVERIFY(lines[1].contains(QLatin1String("\tzero ")));
        QVERIFY(lines[2].contains(QLatin1String("\tunit ")));

        // Bad rows do not count as due: once the good job has ended, idle ticks reload,
        // which is how the correction arrives.
        r.scheduler.reschedule(3);
        r.scheduler.endRun(3);
        unit[QStringLiteral("backuptani")] = QStringLiteral("h");
        QVERIFY(norvex::testing::writeJobs(
            r.home, {badDate, zero, unit, localJob("good", "2024/05/01 11:00:00")}));
        r.scheduler.tick();
        QCOMPARE(r.scheduler.loadCount(), 2);
        r.scheduler.tick();
        QCOMPARE(r.launched, (QList<int>{3, 2}));
        QCOMPARE(errorEntries(r.home), 3);
    }
};

QTEST_GUILESS_MAIN(SchedulerTest)
#include "SchedulerTest.moc"
