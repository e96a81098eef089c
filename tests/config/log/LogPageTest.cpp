// The event log page and its entry dialog through their real widgets.

#include "config/LogPage.h"
#include "config/FrmLog.h"
#include "config/support/TestProgram.h"
#include "shared/EventLog.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableView>
#include <QTimer>
#include <QToolButton>
#include <QtTest>
#include <sys/stat.h>

using namespace norvex;
using namespace norvex::testing;
using shared::WriteLog;

namespace {

QDateTime at(int day, int h, int mi = 0, int s = 0, int ms = 0)
{
    return QDateTime(QDate(2024, 5, day), QTime(h, mi, s, ms));
}

// A fresh installation folder with an empty Log/ below the test's NORVEX_HOME.
QString freshHome(const QString &name)
{
    const QString home =
        qEnvironmentVariable("NORVEX_HOME") + QLatin1Char('/') + name + QLatin1Char('/');
    QDir(home).removeRecursively();
    QDir().mkpath(home + QStringLiteral("Log"));
    return home;
}

bool writeLogFile(const QString &home, const QString &name, const QByteArray &data,
                  bool append = false)
{
    QFile file(home + QStringLiteral("Log/") + name);
    return file.open(append ? QIODevice::Append : QIODevice::WriteOnly) &&
           file.write(data) == data.size();
}

// The grid's rows as "kind|date|text", or one column of it.
QStringList gridRows(QWidget &page, int column = -1)
{
    QStringList rows;
    const QAbstractItemModel *model =
        page.findChild<QTableView *>(QStringLiteral("GrdLog"))->model();
    for (int r = 0; r < model->rowCount(); ++r) {
        QStringList cells;
        for (int c = 0; c < 3; ++c) {
            if (column < 0 || c == column)
                cells << model->index(r, c).data().toString();
        }
        rows << cells.join(QLatin1Char('|'));
    }
    return rows;
}

template <typename T>
T *child(QObject &parent, const char *name)
{
    return parent.findChild<T *>(QLatin1String(name));
}

// "date|time|text|details|icons shown" of the dialog.
QString look(config::TFrmLog &dialog)
{
    QString icons;
    for (const char *name : {"ImgError", "ImgWarning", "ImgInfo"})
        icons += child<QLabel>(dialog, name)->isHidden() ? QString() : QLatin1String(name);
    return QStringList{child<QLabel>(dialog, "LblDate")->text(),
                       child<QLabel>(dialog, "LblTime")->text(),
                       child<QLabel>(dialog, "LblText")->text(),
                       child<QPlainTextEdit>(dialog, "MemDetail")->toPlainText(), icons}
        .join(QLatin1Char('|'));
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
        const QStringList all{"20240521", "20240520", "20240519", "20240506",
                              "20240505", "20240501", "20240430", "20110901"};
        QTest::newRow("今日 and later") << 0 << all.mid(0, 2);
        QTest::newRow("過去7日間 is 14 days") << 1 << all.mid(0, 4);
        QTest::newRow("今月") << 2 << all.mid(0, 6);
        QTest::newRow("すべて") << 3 << all;
    }

    void periodBounds()
    {
        QFETCH(int, item);
        QFETCH(QStringList, days);
        const QString home = freshHome(QStringLiteral("periods"));
        for (const char *day : {"20110831", "20110901", "20240430", "20240501", "20240505",
                                "20240506", "20240519", "20240520", "20240521"}) {
            const QDate date = QDate::fromString(QLatin1String(day), QStringLiteral("yyyyMMdd"));
            WriteLog(home, shared::LogInformation, QLatin1String(day),
                     QDateTime(date, QTime(8, 0)));
        }
        TestProgram program(home, at(20, 23, 59));
        config::TLogPage page(program);
        page.showAction();
        child<QComboBox>(page, "CmbFilter")->setCurrentIndex(item);
        QCOMPARE(gridRows(page, 2), days);
    }

    void showsNewestFirstAcrossFilesWithKindColours()
    {
        const QString home = freshHome(QStringLiteral("order"));
        // Out of order on purpose, within and across day files.
        WriteLog(home, shared::LogError, QStringLiteral("b"), at(19, 10));
        WriteLog(home, shared::LogInformation, QStringLiteral("a"), at(19, 9));
        WriteLog(home, shared::LogInformation, QStringLiteral("d"), at(20, 8, 0, 0, 5));
        WriteLog(home, shared::LogWarning, QStringLiteral("c"), at(18, 23, 59, 59, 999));
        WriteLog(home, shared::LogError, QStringLiteral("e"), at(20, 8, 0, 0, 40));
        TestProgram program(home, at(20, 12));
        config::TLogPage page(program);
        page.resize(760, 620);
        page.show();
        QVERIFY(QTest::qWaitForWindowExposed(&page));
        child<QComboBox>(page, "CmbFilter")->setCurrentIndex(3);
        QCOMPARE(gridRows(page),
                 (QStringList{"E|2024/05/20 08:00:00:040|e", "I|2024/05/20 08:00:00:005|d",
                              "E|2024/05/19 10:00:00:000|b", "I|2024/05/19 09:00:00:000|a",
                              "W|2024/05/18 23:59:59:999|c"}));

        auto *view = child<QTableView>(page, "GrdLog");
        auto *footer = child<QHeaderView>(page, "GrdLogFooter");
        for (int c = 0; c < 3; ++c) {
            const QString title = QStringList{"種類", "日付", "内容"}[c];
            QCOMPARE(view->model()->headerData(c, Qt::Horizontal).toString(), title);
            QCOMPARE(footer->model()->headerData(c, Qt::Horizontal).toString(), title);
            QTRY_COMPARE(footer->sectionSize(c), view->horizontalHeader()->sectionSize(c));
        }
        QCOMPARE(view->model()->headerData(4, Qt::Vertical).toString(), QStringLiteral("5"));
        QCOMPARE(view->selectionBehavior(), QAbstractItemView::SelectRows);

        const QImage shot = view->viewport()->grab().toImage();
        const QList<QColor> kinds{Qt::red, QColor(0, 128, 0), Qt::red, QColor(0, 128, 0),
                                  Qt::yellow};
        for (int row = 0; row < 5; ++row) {
            for (int c = 0; c < 3; ++c) {
                const QColor pixel = shot.pixelColor(
                    view->visualRect(view->model()->index(row, c)).topLeft() + QPoint(3, 3));
                QVERIFY(c == 0 ? pixel == kinds[row] : !kinds.contains(pixel));
            }
        }
    }

    void refreshAndTimerFollowTheCheckBox()
    {
        const QString home = freshHome(QStringLiteral("timer"));
        TestProgram program(home, at(20, 12));
        config::TLogPage page(program);
        auto *timer = child<QTimer>(page, "TimLogReload");
        auto *check = child<QCheckBox>(page, "ChkLogReload");
        auto *refresh = child<QToolButton>(page, "ToolButton1");
        // On from construction, before the page is ever shown.
        QVERIFY(check->isChecked() && timer->isActive());
        QCOMPARE(timer->interval(), 10000);
        QCOMPARE(child<QComboBox>(page, "CmbFilter")->currentText(), QStringLiteral("今日"));
        int n = 0;
        auto write = [&] {
            WriteLog(home, shared::LogInformation, QString::number(n), at(20, 9, n));
            ++n;
        };
        auto tick = [&] { QVERIFY(QMetaObject::invokeMethod(timer, "timeout")); };

        write();
        QCOMPARE(gridRows(page).size(), 0);
        tick();
        QCOMPARE(gridRows(page).size(), 1);
        // Unticked: no timer; showing, changing the period and refreshing still reload.
        check->setChecked(false);
        QVERIFY(!timer->isActive());
        write();
        QCOMPARE(gridRows(page).size(), 1);
        page.showAction();
        QCOMPARE(gridRows(page).size(), 2);
        write();
        refresh->click();
        QCOMPARE(gridRows(page).size(), 3);
        write();
        child<QComboBox>(page, "CmbFilter")->setCurrentIndex(3);
        QVERIFY(!timer->isActive());
        QCOMPARE(gridRows(page, 2), (QStringList{"3", "2", "1", "0"}));
        // Ticked again: the timer runs, with no reload of its own.
        write();
        check->setChecked(true);
        QVERIFY(timer->isActive());
        QCOMPARE(gridRows(page).size(), 4);
        tick();
        QCOMPARE(gridRows(page).size(), 5);
        // A refresh leaves the current row where it was.
        auto *view = child<QTableView>(page, "GrdLog");
        view->setCurrentIndex(view->model()->index(2, 0));
        tick();
        write();
        refresh->click();
        QCOMPARE(gridRows(page).size(), 6);
        QCOMPARE(view->currentIndex().row(), 2);
    }

    void readsOnlyWholeLinesOfDayFilesWithTheLogHeader()
    {
        const QString home = freshHome(QStringLiteral("files"));
        const QByteArray header = "logcategory\tlogdate\tlogtext\tlogtextadd\r\n";
        const QByteArray entry = "I\t2024/05/19 10:00:00:000\t";
        QVERIFY(writeLogFile(home, QStringLiteral("readme.txt"), header + entry + "readme\r\n"));
        QVERIFY(writeLogFile(home, QStringLiteral("20240518.log"),
                             "kind\tdate\ttext\tmore\r\n" + entry + "other header\r\n"));
        QVERIFY(writeLogFile(home, QStringLiteral("20240517.log"),
                             "logcategory\tlogdate\r\n" + entry + "\r\n"));
        QVERIFY(QDir().mkpath(home + QStringLiteral("Log/20240519.log")));
        QVERIFY(QDir().mkpath(home + QStringLiteral("Log/sub")));
        QVERIFY(writeLogFile(home, QStringLiteral("sub/20240520.log"), header + entry + "sub\r\n"));
        QCOMPARE(::mkfifo(QFile::encodeName(home + QStringLiteral("Log/20240516.log")), 0600), 0);
        // The last entry is still being appended: no line break yet.
        QVERIFY(writeLogFile(home, QStringLiteral("20240520.log"),
                             header + "E\t2024/05/20 09:00:00:000\twhole\r\n" + entry + "ha"));

        TestProgram program(home, at(20, 12));
        config::TLogPage page(program);
        child<QComboBox>(page, "CmbFilter")->setCurrentIndex(3);
        QCOMPARE(gridRows(page), QStringList{"E|2024/05/20 09:00:00:000|whole"});
        QCOMPARE(program.log.FieldCount(), 4);
        QVERIFY(writeLogFile(home, QStringLiteral("20240520.log"), "lf written\r\n", true));
        child<QToolButton>(page, "ToolButton1")->click();
        QCOMPARE(gridRows(page, 2), (QStringList{"whole", "half written"}));
    }

    void dialogStepsThroughItsOwnCopy()
    {
        const QString home = freshHome(QStringLiteral("dialog"));
        WriteLog(home, shared::LogInformation, QStringLiteral("job started"), at(20, 9, 0, 0, 7));
        WriteLog(home, shared::LogWarning, QStringLiteral("job slow\tlook"), at(20, 9, 30));
        WriteLog(home, shared::LogError,
                 QStringLiteral("job failed\tfirst line\r\nsecond line\\nthird line"),
                 at(20, 10, 15, 30, 250));
        TestProgram program(home, at(20, 12));
        config::TLogPage page(program);
        page.resize(760, 620);
        page.show();
        QVERIFY(QTest::qWaitForWindowExposed(&page));
        page.showAction();

        // The press before the double-click, as a real mouse sends it.
        auto *view = child<QTableView>(page, "GrdLog");
        const QPoint point = view->visualRect(view->model()->index(1, 2)).center();
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, point);
        QStringList seen;
        QString title;
        QTimer::singleShot(0, this, [&] {
            auto *dialog = qobject_cast<config::TFrmLog *>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            title = dialog->windowTitle();
            seen << look(*dialog);
            // A reload while the dialog is open changes the grid, not the dialog.
            WriteLog(home, shared::LogInformation, QStringLiteral("newer"), at(20, 11));
            child<QToolButton>(page, "ToolButton1")->click();
            for (const char *button : {"BotNext", "BotNext", "BotPrior", "BotPrior", "BotPrior"}) {
                child<QPushButton>(*dialog, button)->click();
                seen << look(*dialog);
            }
            child<QPushButton>(*dialog, "BotOk")->click();
        });
        QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, point);
        QVERIFY(!QApplication::activeModalWidget());

        QCOMPARE(title, QStringLiteral("イベントログ詳細"));
        QCOMPARE(gridRows(page).size(), 4);
        const QString warning = "2024/05/20|09:30:00:000|job slow|look|ImgWarning";
        const QString info = "2024/05/20|09:00:00:007|job started||ImgInfo";
        const QString error =
            "2024/05/20|10:15:30:250|job failed|first line\nsecond line\nthird line|ImgError";
        QCOMPARE(seen, (QStringList{warning, info, info, warning, error, error}));
    }
};

QTEST_MAIN(LogPageTest)
#include "LogPageTest.moc"
