// norvex-log-screenshot page|dialog <file.png> [installation-folder]
//
// Renders the event log page (760x620, the page area's size) or the entry dialog to a PNG.
// With an installation folder, its Log/ is shown as of now ("今日", or "すべて" when today
// has no entries); without one, a sample day with I, W and E entries. Run it under Xvfb for
// real-display pictures (xvfb-run -a -s "-screen 0 1280x900x24" ...); offscreen works too.

#include "config/FrmLog.h"
#include "config/LogPage.h"
#include "config/support/TestProgram.h"
#include "shared/EventLog.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QTableView>
#include <QTemporaryDir>
#include <QtTest>
#include <cstdio>

using namespace norvex;

namespace {

const QDateTime SampleNow(QDate(2024, 5, 20), QTime(10, 30));

void writeSample(const QString &home)
{
    QDir().mkpath(home + QStringLiteral("Log"));
    auto at = [](int day, int h, int m, int s, int ms) {
        return QDateTime(QDate(2024, 5, day), QTime(h, m, s, ms));
    };
    using shared::WriteLog;
    WriteLog(home, shared::LogInformation, QStringLiteral("サービスを開始しました。"),
             at(20, 8, 0, 0, 12));
    const QString jobs[] = {QStringLiteral("経理データ"), QStringLiteral("web.site")};
    int minute = 0;
    for (const QString &job : jobs) {
        WriteLog(home, shared::LogInformation,
                 job + QStringLiteral(" バックアップ処理を開始しました。"),
                 at(20, 9, minute, 0, 104));
        WriteLog(home, shared::LogInformation, job + QStringLiteral(" 圧縮処理を開始しました。"),
                 at(20, 9, minute, 0, 118));
        WriteLog(home, shared::LogInformation,
                 job + QStringLiteral(" ZIP形式圧縮処理を終了しました。\t圧縮処理時間 00:00:12\r\n"
                                      "圧縮後のファイルサイズ 48,210 KB"),
                 at(20, 9, minute, 12, 530));
        minute += 5;
    }
    WriteLog(home, shared::LogError,
             QStringLiteral("経理データ SFTPコピー処理でエラーが発生しました。\tException : "
                            "サーバーに接続できませんでした。\r\nbackup.example.jp:22 "
                            "接続がタイムアウトしました。"),
             at(20, 9, 0, 43, 7));
    WriteLog(home, shared::LogWarning,
             QStringLiteral("web.site 一時フォルダの空きが少なくなっています。"),
             at(20, 9, 5, 20, 0));
    WriteLog(home, shared::LogInformation,
             QStringLiteral("web.site バックアップ処理を終了しました。\tバックアップ処理時間 "
                            "00:00:31\r\n次回バックアップは 2024/05/21 09:05:00 です。"),
             at(20, 9, 5, 31, 250));
    WriteLog(home, shared::LogInformation, QStringLiteral("サービスを開始しました。"),
             at(19, 8, 0, 0, 3));
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3 ||
        (args[1] != QLatin1String("page") && args[1] != QLatin1String("dialog"))) {
        std::fprintf(stderr, "usage: norvex-log-screenshot page|dialog <file.png> [folder]\n");
        return 2;
    }
    QTemporaryDir sampleDir;
    QString home;
    QDateTime now = QDateTime::currentDateTime();
    if (args.size() > 3) {
        home = QDir(args[3]).absolutePath() + QLatin1Char('/');
    } else {
        home = sampleDir.path() + QLatin1Char('/');
        writeSample(home);
        now = SampleNow;
    }
    testing::TestProgram program(home, now);
    config::TLogPage page(program);
    page.resize(760, 620);
    page.show();
    if (!QTest::qWaitForWindowExposed(&page))
        return 1;
    page.showAction();
    auto *grid = page.findChild<QTableView *>(QStringLiteral("GrdLog"));
    if (grid->model()->rowCount() == 0)
        page.findChild<QComboBox *>(QStringLiteral("CmbFilter"))->setCurrentIndex(3);
    grid->setCurrentIndex(grid->model()->index(0, 0));
    QTest::qWait(200);

    QImage image;
    if (args[1] == QLatin1String("page")) {
        image = page.grab().toImage();
    } else {
        // The newest error entry, else the newest entry.
        const shared::TMlb2 &log = program.logTable();
        int row = 0;
        for (int r = 1; r <= log.RecordCount(); ++r) {
            if (log.Cell(1, r) == QLatin1String("E")) {
                row = r - 1;
                break;
            }
        }
        config::TFrmLog dialog(&page);
        dialog.showEntries(log, row);
        dialog.show();
        if (!QTest::qWaitForWindowExposed(&dialog))
            return 1;
        QTest::qWait(200);
        image = dialog.grab().toImage();
    }
    if (!image.save(args[2])) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(args[2]));
        return 1;
    }
    return 0;
}
