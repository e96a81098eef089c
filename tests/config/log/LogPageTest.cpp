// The event log page through its real widgets: periods, order, colours, refresh and timer,
// which files are log files, and the entry dialog.

#include "config/LogPage.h"
#include "config/FrmLog.h"
#include "config/log/LogTestTools.h"
#include "config/support/TestProgram.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QtTest>
#include <sys/stat.h>

using namespace norvex;
using namespace norvex::testing;
using shared::LogError;
using shared::LogInformation;
using shared::LogWarning;
using shared::WriteLog;

namespace {

QString freshHome(const QString &name)
{
    const QString home =
        QString::fromLocal8Bit(qgetenv("NORVEX_HOME")) + QLatin1Char('/') + name + QLatin1Char('/');
    QDir(home).removeRecursively();
    QDir().mkpath(home + QStringLiteral("Log"));
    return home;
}

void tick(QWidget &page)
{
    QTimer *timer = page.findChild<QTimer *>(QStringLiteral("TimLogReload"));
    QVERIFY(QMetaObject::invokeMethod(timer, "timeout"));
}

struct DialogView
{
    QString date, time, text, details, icon;
};

DialogView look(config::TFrmLog &dialog)
{
    DialogView v;
    v.date = dialog.findChild<QLabel *>(QStringLiteral("LblDate"))->text();
    v.time = dialog.findChild<QLabel *>(QStringLiteral("LblTime"))->text();
    v.text = dialog.findChild<QLabel *>(QStringLiteral("LblText"))->text();
    v.details = dialog.findChild<QPlainTextEdit *>(QStringLiteral("MemDetail"))->toPlainText();
    for (const char *name : {"ImgError", "ImgWarning", "ImgInfo"}) {
        if (!dialog.findChild<QLabel *>(QLatin1String(name))->isHidden())
            v.icon += QLatin1String(name);
    }
    return v;
}

} // namespace

class LogPageTest : public QObject
{
    Q_OBJECT

private slots:
    void periodBounds_data()
    {
        QTest::addColumn<int>("item");
        QTest::addColumn<QStringList>("days");
        QTest::newRow("今日 and later") << 0 << QStringList{"20240521", "20240520"};
        QTest::newRow("過去7日間 is 14 days")
            << 1 << QStringList{"20240521", "20240520", "20240519", "20240506"};
        QTest::newRow("今月") << 2 << QStringList{"20240521", "20240520", "20240519",
                                                  "20240506", "20240505", "20240501"};
        QTest::newRow("すべて from 20110901")
            << 3 << QStringList{"20240521", "20240520", "20240519", "20240506",
                                "20240505", "20240501", "20240430", "20110901"};
    }

    void periodBounds()
    {
        QFETCH(int, item);
        QFETCH(QStringList, days);
        const QString home = freshHome(QStringLiteral("periods"));
        for (const char *day : {"20110831", "20110901", "20240430", "20240501", "20240505",
                                "20240506", "20240519", "20240520", "20240521"}) {
            const QDate date = QDate::fromString(QLatin1String(day), QStringLiteral("yyyyMMdd"));
            WriteLog(home, LogInformation, QLatin1String(day), QDateTime(date, QTime(8, 0)));
        }
        TestProgram program(home, at(2024, 5, 20, 23, 59));
        config::TLogPage page(program);
        page.showAction();
        page.findChild<QComboBox *>(QStringLiteral("CmbFilter"))->setCurrentIndex(item);
        QCOMPARE(gridColumn(page, 2), days);
    }

    void showsNewestFirstAcrossFilesWithKindColours()
    {
        const QString home = freshHome(QStringLiteral("order"));
        // Written out of order on purpose, within and across day files.
        WriteLog(home, LogError, QStringLiteral("b"), at(2024, 5, 19, 10));
        WriteLog(home, LogInformation, QStringLiteral("a"), at(2024, 5, 19, 9));
        WriteLog(home, LogInformation, QStringLiteral("d"), at(2024, 5, 20, 8, 0, 0, 5));
        WriteLog(home, LogWarning, QStringLiteral("c"), at(2024, 5, 18, 23, 59, 59, 999));
        WriteLog(home, LogError, QStringLiteral("e"), at(2024, 5, 20, 8, 0, 0, 40));
        TestProgram program(home, at(2024, 5, 20));
        config::TLogPage page(program);
        page.resize(760, 620);
        page.show();
        QVERIFY(QTest::qWaitForWindowExposed(&page));
        page.findChild<QComboBox *>(QStringLiteral("CmbFilter"))->setCurrentIndex(3);

        QCOMPARE(gridRows(page),
                 (QStringList{"E|2024/05/20 08:00:00:040|e", "I|2024/05/20 08:00:00:005|d",
                              "E|2024/05/19 10:00:00:000|b", "I|2024/05/19 09:00:00:000|a",
                              "W|2024/05/18 23:59:59:999|c"}));
        QTableView *view = grid(page);
        const auto *footer = page.findChild<QHeaderView *>(QStringLiteral("GrdLogFooter"));
        for (int c = 0; c < 3; ++c) {
            const QString title = QStringList{"種類", "日付", "内容"}[c];
            QCOMPARE(view->model()->headerData(c, Qt::Horizontal).toString(), title);
            QCOMPARE(footer->model()->headerData(c, Qt::Horizontal).toString(), title);
            QTRY_COMPARE(footer->sectionSize(c), view->horizontalHeader()->sectionSize(c));
        }
        QCOMPARE(view->model()->headerData(4, Qt::Vertical).toString(), QStringLiteral("5"));
        QCOMPARE(view->selectionBehavior(), QAbstractItemView::SelectRows);

        const QImage shot = view->viewport()->grab().toImage();
        auto colourAt = [&](int row, int column) {
            return shot.pixelColor(view->visualRect(view->model()->index(row, column)).topLeft() +
                                   QPoint(3, 3));
        };
        const QColor green(0, 128, 0), yellow(255, 255, 0), red(255, 0, 0);
        const QList<QColor> kinds{red, green, red, green, yellow};
        for (int row = 0; row < 5; ++row) {
            QCOMPARE(colourAt(row, 0), kinds[row]);
            QVERIFY(!kinds.contains(colourAt(row, 1)));
            QVERIFY(!kinds.contains(colourAt(row, 2)));
        }
    }

    void refreshAndTimerFollowTheCheckBox()
    {
        const QString home = freshHome(QStringLiteral("timer"));
        TestProgram program(home, at(2024, 5, 20));
        config::TLogPage page(program);
        auto *timer = page.findChild<QTimer *>(QStringLiteral("TimLogReload"));
        auto *check = page.findChild<QCheckBox *>(QStringLiteral("ChkLogReload"));
        auto *refresh = page.findChild<QToolButton *>(QStringLiteral("ToolButton1"));
        auto *filter = page.findChild<QComboBox *>(QStringLiteral("CmbFilter"));
        // Running from construction, before the page is ever shown.
        QVERIFY(check->isChecked());
        QVERIFY(timer->isActive());
        QCOMPARE(timer->interval(), 10000);
        QCOMPARE(filter->currentText(), QStringLiteral("今日"));
        int minute = 0;
        auto write = [&] {
            WriteLog(home, LogInformation, QString::number(minute), at(2024, 5, 20, 9, minute));
            ++minute;
        };

        write();
        QCOMPARE(gridRows(page).size(), 0);
        tick(page);
        QCOMPARE(gridColumn(page, 2), QStringList{"0"});

        // Unticked: the timer stops and nothing reloads until shown, changed or refreshed.
        check->setChecked(false);
        QVERIFY(!timer->isActive());
        write();
        QCOMPARE(gridRows(page).size(), 1);
        page.showAction();
        QVERIFY(!timer->isActive());
        QCOMPARE(gridRows(page).size(), 2);
        write();
        refresh->click();
        QVERIFY(!timer->isActive());
        QCOMPARE(gridRows(page).size(), 3);
        write();
        filter->setCurrentIndex(3);
        QVERIFY(!timer->isActive());
        QCOMPARE(gridRows(page).size(), 4);

        // Ticked again: the timer runs, with no reload of its own.
        write();
        check->setChecked(true);
        QVERIFY(timer->isActive());
        QCOMPARE(gridRows(page).size(), 4);
        tick(page);
        QCOMPARE(gridColumn(page, 2), (QStringList{"4", "3", "2", "1", "0"}));

        // A refresh leaves the current row where it was.
        QTableView *view = grid(page);
        view->setCurrentIndex(view->model()->index(2, 0));
        tick(page);
        QCOMPARE(view->currentIndex().row(), 2);
        write();
        refresh->click();
        QCOMPARE(gridRows(page).size(), 6);
        QCOMPARE(view->currentIndex().row(), 2);
    }

    void readsOnlyWholeLinesOfDayFilesWithTheLogHeader()
    {
        const QString home = freshHome(QStringLiteral("files"));
        const QByteArray header = "logcategory\tlogdate\tlogtext\tlogtextadd\r\n";
        QVERIFY(writeLogFile(home, QStringLiteral("readme.txt"),
                             header + "I\t2024/05/20 10:00:00:000\treadme\r\n"));
        QVERIFY(
            writeLogFile(home, QStringLiteral("20240518.log"),
                         "kind\tdate\ttext\tmore\r\nI\t2024/05/18 10:00:00:000\tother header\r\n"));
        QVERIFY(writeLogFile(home, QStringLiteral("20240517.log"),
                             "logcategory\tlogdate\r\nI\t2024/05/17 10:00:00:000\r\n"));
        QVERIFY(QDir().mkpath(home + QStringLiteral("Log/20240519.log")));
        QVERIFY(QDir().mkpath(home + QStringLiteral("Log/sub")));
        QVERIFY(writeLogFile(home, QStringLiteral("sub/20240520.log"),
                             header + "I\t2024/05/20 10:00:00:000\tin a folder\r\n"));
        QCOMPARE(::mkfifo(QFile::encodeName(home + QStringLiteral("Log/20240516.log")).constData(),
                          0600),
                 0);
        // An entry still being appended: its line has no line break yet.
        QVERIFY(writeLogFile(home, QStringLiteral("20240520.log"),
                             header + "E\t2024/05/20 09:00:00:000\twhole\tdetail\r\n"
                                      "I\t2024/05/20 09:00:01:000\tha"));

        TestProgram program(home, at(2024, 5, 20));
        config::TLogPage page(program);
        page.findChild<QComboBox *>(QStringLiteral("CmbFilter"))->setCurrentIndex(3);
        QCOMPARE(gridRows(page), QStringList{"E|2024/05/20 09:00:00:000|whole"});
        QCOMPARE(program.log.FieldCount(), 4);

        QVERIFY(writeLogFile(home, QStringLiteral("20240520.log"), "lf written\r\n", true));
        tick(page);
        QCOMPARE(gridRows(page), (QStringList{"I|2024/05/20 09:00:01:000|half written",
                                              "E|2024/05/20 09:00:00:000|whole"}));
    }

    void dialogStepsThroughItsOwnCopy()
    {
        const QString home = freshHome(QStringLiteral("dialog"));
        WriteLog(home, LogInformation, QStringLiteral("job started"), at(2024, 5, 20, 9, 0, 0, 7));
        WriteLog(home, LogWarning, QStringLiteral("job slow\tlook"), at(2024, 5, 20, 9, 30));
        WriteLog(home, LogError,
                 QStringLiteral("job failed\tfirst line\r\nsecond line\\nthird line"),
                 at(2024, 5, 20, 10, 15, 30, 250));
        TestProgram program(home, at(2024, 5, 20));
        config::TLogPage page(program);
        page.resize(760, 620);
        page.show();
        QVERIFY(QTest::qWaitForWindowExposed(&page));
        page.showAction();
        QCOMPARE(gridRows(page).size(), 3);

        // The press before the double-click, as a real mouse sends it.
        QTableView *view = grid(page);
        const QPoint point = view->visualRect(view->model()->index(1, 2)).center();
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, point);
        QList<DialogView> seen;
        QString title;
        int copied = 0;
        QTimer::singleShot(0, this, [&] {
            auto *dialog = qobject_cast<config::TFrmLog *>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            title = dialog->windowTitle();
            auto press = [&](const char *name) {
                dialog->findChild<QPushButton *>(QLatin1String(name))->click();
                seen << look(*dialog);
            };
            seen << look(*dialog);
            // A reload while the dialog is open changes the grid, not the dialog.
            WriteLog(home, LogInformation, QStringLiteral("newer"), at(2024, 5, 20, 11));
            page.findChild<QToolButton *>(QStringLiteral("ToolButton1"))->click();
            copied = dialog->entries().RecordCount();
            press("BotNext");
            press("BotNext");
            press("BotPrior");
            press("BotPrior");
            press("BotPrior");
            dialog->findChild<QPushButton *>(QStringLiteral("BotOk"))->click();
        });
        QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, point);
        QVERIFY(!QApplication::activeModalWidget());

        QCOMPARE(title, QStringLiteral("イベントログ詳細"));
        QCOMPARE(copied, 3);
        QCOMPARE(gridRows(page).size(), 4);
        QCOMPARE(seen.size(), 6);
        const DialogView warning{"2024/05/20", "09:30:00:000", "job slow", "look", "ImgWarning"};
        const DialogView info{"2024/05/20", "09:00:00:007", "job started", "", "ImgInfo"};
        const DialogView error{"2024/05/20", "10:15:30:250", "job failed",
                               "first line\nsecond line\nthird line", "ImgError"};
        const QList<DialogView> expected{warning, info, info, warning, error, error};
        for (int i = 0; i < seen.size(); ++i) {
            QCOMPARE(seen[i].date, expected[i].date);
            QCOMPARE(seen[i].time, expected[i].time);
            QCOMPARE(seen[i].text, expected[i].text);
            QCOMPARE(seen[i].details, expected[i].details);
            QCOMPARE(seen[i].icon, expected[i].icon);
        }
    }
};

QTEST_MAIN(LogPageTest)
#include "LogPageTest.moc"
