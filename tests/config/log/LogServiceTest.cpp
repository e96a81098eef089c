// The event log page refreshing while the real NorvexService runs jobs and appends entries.

#include "config/LogPage.h"
#include "config/log/LogTestTools.h"
#include "config/support/TestProgram.h"
#include "service/support/Archives.h"
#include "service/support/ServiceRunner.h"

#include <QComboBox>
#include <QSet>
#include <QToolButton>
#include <QtTest>

using namespace norvex;
using namespace norvex::testing;

namespace {

// Every shown entry with its additional text, as stored.
QStringList shownEntries(shared::TMlb2 &log)
{
    QStringList out;
    for (log.First(); !log.Eof(); log.Next()) {
        out << QStringList{log.FieldByName(QStringLiteral("logcategory")),
                           log.FieldByName(QStringLiteral("logdate")),
                           log.FieldByName(QStringLiteral("logtext")),
                           log.FieldByName(QStringLiteral("logtextadd"))}
                   .join(QLatin1Char('\t'));
    }
    return out;
}

} // namespace

class LogServiceTest : public QObject
{
    Q_OBJECT

private slots:
    void showsWhatTheServiceWritesWhileRefreshing()
    {
        const QString home = makeInstallFolder(QStringLiteral("service"));
        const QString tmp = home + QStringLiteral("tmp");
        const QString dest = home + QStringLiteral("dest");
        QVERIFY(QDir().mkpath(tmp) && QDir().mkpath(dest));
        QVERIFY(writeFile(home + QStringLiteral("Norvex.ini"),
                          "[Option]\r\nTmpFolder=" + tmp.toUtf8() + "\r\n\r\n"));
        const QString source = home + QStringLiteral("data.txt");
        QVERIFY(writeFile(source, QByteArray(20000, 'x')));
        const QString due = shared::formatDateTime(QDateTime::currentDateTime().addSecs(-60));
        QList<JobValues> jobs;
        const int jobCount = 6;
        for (int i = 0; i < jobCount; ++i)
            jobs << fullJob(QStringLiteral("job%1").arg(i), {source}, dest, due);
        QVERIFY(writeJobs(home, jobs));

        TestProgram program(home, QDateTime::currentDateTime());
        config::TLogPage page(program);
        page.findChild<QComboBox *>(QStringLiteral("CmbFilter"))->setCurrentIndex(3);
        auto *refresh = page.findChild<QToolButton *>(QStringLiteral("ToolButton1"));

        ServiceRunner service(home);
        QVERIFY(service.start());
        // Refresh as fast as we can while the runs write; remember every entry ever shown.
        QSet<QString> seen;
        int refreshes = 0;
        const bool finished = service.waitFor(
            [&] {
                for (int i = 0; i < 20; ++i) {
                    refresh->click();
                    ++refreshes;
                    const QStringList shown = shownEntries(program.log);
                    for (const QString &entry : shown)
                        seen.insert(entry);
                    QTest::qWait(5);
                }
                return countMatching(entries(home),
                                     QStringLiteral("バックアップ処理を終了しました")) >= jobCount;
            },
            120000);
        QVERIFY(finished);
        QVERIFY(service.stop());

        refresh->click();
        const QStringList shown = shownEntries(program.log);
        QStringList written;
        for (const QString &line : logLines(home)) {
            QStringList fields = line.split(QLatin1Char('\t'));
            while (fields.size() < 4)
                fields << QString();
            written << fields.mid(0, 4).join(QLatin1Char('\t'));
        }
        // Nothing lost: the grid holds exactly what the files hold, newest first.
        QCOMPARE(shown.size(), written.size());
        QCOMPARE(QSet<QString>(shown.begin(), shown.end()),
                 QSet<QString>(written.begin(), written.end()));
        QVERIFY(shown.size() >= jobCount * 6 + 2);
        for (int i = 1; i < shown.size(); ++i)
            QVERIFY(shown[i - 1].section(QLatin1Char('\t'), 1, 1) >=
                    shown[i].section(QLatin1Char('\t'), 1, 1));
        QCOMPARE(gridRows(page).size(), shown.size());
        // No torn line: every entry shown on the way is one the files hold whole.
        for (const QString &entry : std::as_const(seen))
            QVERIFY2(written.contains(entry), qPrintable(entry));
        qInfo("%d refreshes saw %lld distinct entries", refreshes, qint64(seen.size()));
    }
};

QTEST_MAIN(LogServiceTest)
#include "LogServiceTest.moc"
