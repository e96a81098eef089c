// The event log page refreshing while the real NorvexService runs jobs and appends entries.

#include "config/LogPage.h"
#include "config/support/TestProgram.h"
#include "service/support/Archives.h"
#include "service/support/ServiceRunner.h"

#include <QComboBox>
#include <QSet>
#include <QTableView>
#include <QToolButton>
#include <QtTest>

using namespace norvex;
using namespace norvex::testing;

class LogServiceTest : public QObject
{
    Q_OBJECT

private slots:
    void showsWhatTheServiceWritesWhileRefreshing()
    {
        const QString home = makeInstallFolder(QStringLiteral("service"));
        QVERIFY(writeFile(home + QStringLiteral("Norvex.ini"),
                          "[Option]\r\nTmpFolder=" + home.toUtf8() + "tmp\r\n"));
        QVERIFY(QDir().mkpath(home + QStringLiteral("tmp")) &&
                QDir().mkpath(home + QStringLiteral("dest")));
        QVERIFY(writeFile(home + QStringLiteral("data.txt"), QByteArray(20000, 'x')));
        const QString due = shared::formatDateTime(QDateTime::currentDateTime().addSecs(-60));
        const int jobCount = 6;
        QList<JobValues> jobs;
        for (int i = 0; i < jobCount; ++i)
            jobs << fullJob(QStringLiteral("job%1").arg(i), {home + QStringLiteral("data.txt")},
                            home + QStringLiteral("dest"), due);
        QVERIFY(writeJobs(home, jobs));

        TestProgram program(home, QDateTime::currentDateTime());
        config::TLogPage page(program);
        page.findChild<QComboBox *>(QStringLiteral("CmbFilter"))->setCurrentIndex(3);
        auto *refresh = page.findChild<QToolButton *>(QStringLiteral("ToolButton1"));
        // Every entry as stored, in the shown order.
        auto shown = [&] {
            QStringList out;
            shared::TMlb2 &log = program.log;
            for (int r = 1; r <= log.RecordCount(); ++r)
                out << QStringList{log.Cell(1, r), log.Cell(2, r), log.Cell(3, r), log.Cell(4, r)}
                           .join(QLatin1Char('\t'));
            return out;
        };

        ServiceRunner service(home);
        QVERIFY(service.start());
        // Refresh as fast as we can while the runs append; keep every entry ever shown.
        QSet<QString> seen;
        QVERIFY(service.waitFor(
            [&] {
                for (int i = 0; i < 20; ++i) {
                    refresh->click();
                    for (const QString &entry : shown())
                        seen.insert(entry);
                    QTest::qWait(5);
                }
                return countMatching(entries(home),
                                     QStringLiteral("バックアップ処理を終了しました")) >= jobCount;
            },
            120000));
        QVERIFY(service.stop());

        refresh->click();
        QStringList written;
        for (const QString &line : logLines(home))
            written << (line.split(QLatin1Char('\t')) + QStringList{QString()})
                           .mid(0, 4)
                           .join(QLatin1Char('\t'));
        // Nothing lost, nothing torn: the grid holds exactly the files' entries, newest first,
        // and every entry shown on the way is one the files hold whole.
        const QStringList last = shown();
        QVERIFY(last.size() >= jobCount * 6 + 2);
        QCOMPARE(last.size(), written.size());
        QCOMPARE(QSet<QString>(last.begin(), last.end()),
                 QSet<QString>(written.begin(), written.end()));
        QCOMPARE(page.findChild<QTableView *>(QStringLiteral("GrdLog"))->model()->rowCount(),
                 last.size());
        for (int i = 1; i < last.size(); ++i)
            QVERIFY(last[i - 1].section(QLatin1Char('\t'), 1, 1) >=
                    last[i].section(QLatin1Char('\t'), 1, 1));
        for (const QString &entry : std::as_const(seen))
            QVERIFY2(written.contains(entry), qPrintable(entry));
    }
};

QTEST_MAIN(LogServiceTest)
#include "LogServiceTest.moc"
