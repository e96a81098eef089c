// norvex-logview [folder] [--files N] [--entries N]
//
// Builds folder/Log with N day files (default 400) holding M entries in all (default
// 100,000), then times the event log page through its real widgets (offscreen unless
// QT_QPA_PLATFORM says otherwise): the first "すべて" load until the grid is painted, a
// refresh after one day file grew, a refresh with nothing changed, and opening the entry
// dialog's copy. Prints the figures and the peak resident memory.

#include "config/FrmLog.h"
#include "config/LogPage.h"
#include "config/support/TestProgram.h"
#include "shared/EventLog.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTableView>
#include <QToolButton>
#include <algorithm>
#include <cstdio>
#include <vector>

using namespace norvex;

namespace {

const QDate LastDay(2024, 5, 20);

long statusKb(const char *key)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(qstrlen(key)).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

// Entries as the service writes them: a run's six lines, some with an additional text.
void makeHistory(const QString &home, int files, int entries)
{
    QDir(home + QStringLiteral("Log")).removeRecursively();
    QDir().mkpath(home + QStringLiteral("Log"));
    const QByteArray header = (shared::logHeaderLine() + QStringLiteral("\r\n")).toUtf8();
    const QStringList texts{
        QStringLiteral("web.site バックアップ処理を開始しました。"),
        QStringLiteral("web.site 圧縮処理を開始しました。"),
        QStringLiteral("web.site ZIP形式圧縮処理を終了しました。\t圧縮処理時間 00:00:12\\n"
                       "圧縮後のファイルサイズ 1,234,567 KB"),
        QStringLiteral("web.site SFTPコピー処理を開始しました。\tバックアップ先 SFTPサーバー "
                       "backup.example.jp:22 /srv/backup/web"),
        QStringLiteral(
            "web.site リモートコピー処理を終了しました。\tリモートコピー処理時間 00:01:05"),
        QStringLiteral("web.site バックアップ処理を終了しました。\tバックアップ処理時間 "
                       "00:01:17\\n次回バックアップは 2024/05/21 03:00:00 です。")};
    int written = 0;
    for (int f = 0; f < files; ++f) {
        const QDate day = LastDay.addDays(f - files + 1);
        const int count = (entries - written) / (files - f);
        QByteArray data = header;
        for (int i = 0; i < count; ++i) {
            const QTime time = QTime(0, 0).addMSecs(qint64(i) * 86000000 / qMax(count, 1));
            const QChar kind = i % 97 == 5 ? QLatin1Char('E') : QLatin1Char('I');
            data += (QString(kind) + QLatin1Char('\t') +
                     QDateTime(day, time).toString(QStringLiteral("yyyy/MM/dd hh:mm:ss:zzz")) +
                     QLatin1Char('\t') + texts[i % texts.size()] + QStringLiteral("\r\n"))
                        .toUtf8();
        }
        written += count;
        QFile file(shared::logFilePath(home, day));
        file.open(QIODevice::WriteOnly);
        file.write(data);
    }
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double ms(const QElapsedTimer &t)
{
    return double(t.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QString home = QStringLiteral("/tmp/norvex-logbench/");
    int files = 400;
    int entries = 100000;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--files") && i + 1 < args.size())
            files = args[++i].toInt();
        else if (args[i] == QLatin1String("--entries") && i + 1 < args.size())
            entries = args[++i].toInt();
        else
            home = args[i].endsWith(QLatin1Char('/')) ? args[i] : args[i] + QLatin1Char('/');
    }
    makeHistory(home, files, entries);

    testing::TestProgram program(home, QDateTime(LastDay, QTime(12, 0)));
    config::TLogPage page(program);
    page.resize(760, 620);
    page.show();
    app.processEvents();
    auto *grid = page.findChild<QTableView *>(QStringLiteral("GrdLog"));
    auto *refresh = page.findChild<QToolButton *>(QStringLiteral("ToolButton1"));
    const long rssBefore = statusKb("VmRSS:");

    QElapsedTimer timer;
    timer.start();
    page.findChild<QComboBox *>(QStringLiteral("CmbFilter"))->setCurrentIndex(3);
    const double firstReload = ms(timer);
    grid->viewport()->repaint();
    const double firstPainted = ms(timer);
    const long rssLoaded = statusKb("VmRSS:");
    const int rows = grid->model()->rowCount();

    std::vector<double> grown, unchanged;
    for (int i = 0; i < 21; ++i) {
        shared::WriteLog(home, shared::LogInformation,
                         QStringLiteral("web.site 追記 %1\t詳細").arg(i),
                         QDateTime(LastDay, QTime(23, 59, 0, i)));
        timer.start();
        refresh->click();
        grid->viewport()->repaint();
        grown.push_back(ms(timer));
        timer.start();
        refresh->click();
        grid->viewport()->repaint();
        unchanged.push_back(ms(timer));
    }

    config::TFrmLog dialog;
    timer.start();
    dialog.showEntries(program.logTable(), 0);
    const double dialogCopy = ms(timer);
    const long peak = statusKb("VmHWM:");

    // For comparison: the same reload with nothing kept, every day file read again.
    shared::TMlb2 scratch;
    timer.start();
    shared::loadLogEntries(scratch, home, QStringLiteral("20110901"));
    const double everyFile = ms(timer);

    std::printf("Log folder: %d day files, %d entries shown (grid rows %d)\n", files,
                program.logTable().RecordCount(), rows);
    std::printf("| step | time ms |\n|---|---:|\n");
    std::printf("| first \"すべて\" load (reload, grid reset) | %.1f |\n", firstReload);
    std::printf("| first \"すべて\" load until the grid is painted | %.1f |\n", firstPainted);
    std::printf("| refresh after one day file grew (median of 21, painted) | %.2f |\n",
                median(grown));
    std::printf("| the same, slowest of 21 | %.2f |\n",
                *std::max_element(grown.begin(), grown.end()));
    std::printf("| refresh with nothing changed (median of 21) | %.2f |\n", median(unchanged));
    std::printf("| for comparison: a reload reading every file again (no grid) | %.1f |\n",
                everyFile);
    std::printf("| entry dialog: copy of all entries on opening | %.1f |\n", dialogCopy);
    std::printf("Memory: resident %.1f MB before the load, %.1f MB after it; peak %.1f MB (before "
                "the comparison)\n",
                rssBefore / 1024.0, rssLoaded / 1024.0, peak / 1024.0);
    return rows >= entries ? 0 : 1;
}
