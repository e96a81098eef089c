// norvex-listrefresh [folder] [--jobs N] [--rounds N]
//
// Writes a job table of N jobs (default 50) and a run status record for all of them into
// folder, shows the job list page (offscreen unless QT_QPA_PLATFORM says otherwise) and
// times one refresh of its result and last-success columns: reading the record, judging
// every job and repainting the grid. Each round writes the record anew with every job's
// progress moved on, so every row changes; a round with an unchanged record is timed too.
// Prints the median and the slowest round of each.

#include "config/ListPage.h"
#include "config/support/TestProgram.h"
#include "shared/RunStatus.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTableWidget>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <vector>

using namespace norvex;

namespace {

const QDateTime Now(QDate(2024, 5, 10), QTime(9, 30));

void writeJobs(const QString &home, int jobs)
{
    shared::TMlb2 table;
    shared::setupJobTable(table);
    for (const QString &field : shared::jobFieldNames())
        table.AddField(field);
    for (int i = 0; i < jobs; ++i) {
        table.AppendRecord();
        for (const QString &field : shared::jobFieldNames())
            table.SetFieldByName(field, QStringLiteral("0"));
        table.SetFieldByName(QStringLiteral("backupname"), QStringLiteral("job%1").arg(i));
        table.SetFieldByName(QStringLiteral("backuplist"), QStringLiteral("/srv/job%1").arg(i));
        table.SetFieldByName(QStringLiteral("tobackup"), QStringLiteral("Local"));
        table.SetFieldByName(QStringLiteral("backupint"), QStringLiteral("1"));
        table.SetFieldByName(QStringLiteral("backuptani"), QStringLiteral("d"));
        table.SetFieldByName(QStringLiteral("backupdt"), QStringLiteral("2099/01/01 03:00:00"));
    }
    table.SaveToFile(shared::jobTablePath(home));
}

// A third of the jobs run, a third failed, a third succeeded; `round` moves the runs on.
void writeRecord(const QString &home, int jobs, int round)
{
    shared::RunStatusRecord record;
    record.servicePid = QCoreApplication::applicationPid();
    record.written = Now;
    for (int i = 0; i < jobs; ++i) {
        shared::JobStatus s;
        s.position = i + 1;
        s.backupName = QStringLiteral("job%1").arg(i);
        s.firstSeen = Now.addDays(-30);
        s.lastEnd = s.lastSuccess = Now.addSecs(-3600 - round - i);
        s.lastResult = shared::RunResult::Success;
        if (i % 3 == 1) {
            s.lastResult = shared::RunResult::TransferFailed;
            s.lastEnd = Now.addSecs(-round - i);
            s.lastError =
                QStringLiteral("FtpException : FTPサーバに接続できませんでした。 %1").arg(round);
        } else if (i % 3 == 2) {
            shared::RunProgress p;
            p.filesDone = 100 * round + i;
            p.filesTotal = 100000;
            p.bytesDone = p.filesDone * 4096;
            p.bytesTotal = 409600000;
            s.running = p;
        }
        record.jobs.push_back(s);
    }
    shared::writeRunStatus(home, record, false);
}

struct Figures
{
    double median, slowest;
};

Figures summary(std::vector<double> ms)
{
    std::sort(ms.begin(), ms.end());
    return {ms[ms.size() / 2], ms.back()};
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir scratch;
    QString home = scratch.path();
    int jobs = 50, rounds = 200;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--jobs") && i + 1 < args.size())
            jobs = args[++i].toInt();
        else if (args[i] == QLatin1String("--rounds") && i + 1 < args.size())
            rounds = args[++i].toInt();
        else
            home = args[i];
    }
    QDir().mkpath(home);
    if (!home.endsWith(QLatin1Char('/')))
        home += QLatin1Char('/');

    writeJobs(home, jobs);
    writeRecord(home, jobs, 0);
    testing::TestProgram program(home, Now);
    config::TListPage page(program);
    page.resize(1100, 40 + 24 * jobs); // every row on screen, so every row is painted
    page.show();
    page.showAction();
    QApplication::processEvents();
    auto *grid = page.findChild<QTableWidget *>(QStringLiteral("GrdList"));

    // refresh: reading the record and setting the cells; paint: that plus painting what
    // changed, as the view does on its own; whole grid: refresh and a repaint of every cell.
    std::vector<double> refresh, paint, whole, unchanged;
    QElapsedTimer timer;
    for (int round = 1; round <= rounds; ++round) {
        writeRecord(home, jobs, 3 * round);
        timer.start();
        page.refreshStatus();
        refresh.push_back(timer.nsecsElapsed() / 1e6);
        QApplication::processEvents();

        writeRecord(home, jobs, 3 * round + 1);
        timer.start();
        page.refreshStatus();
        QApplication::processEvents();
        paint.push_back(timer.nsecsElapsed() / 1e6);

        writeRecord(home, jobs, 3 * round + 2);
        timer.start();
        page.refreshStatus();
        grid->viewport()->repaint();
        whole.push_back(timer.nsecsElapsed() / 1e6);

        timer.start();
        page.refreshStatus();
        QApplication::processEvents();
        unchanged.push_back(timer.nsecsElapsed() / 1e6);
    }
    std::printf("job list status refresh, %d jobs (%d running with progress bars), %d rounds\n",
                jobs, jobs / 3, rounds);
    const auto print = [](const char *what, const std::vector<double> &ms) {
        const Figures f = summary(ms);
        std::printf("  %-36s median %6.2f ms, slowest %6.2f ms\n", what, f.median, f.slowest);
    };
    print("read and set the cells:", refresh);
    print("read, set and paint the changes:", paint);
    print("read, set and repaint the whole grid:", whole);
    print("record unchanged, read and paint:", unchanged);
    return 0;
}
