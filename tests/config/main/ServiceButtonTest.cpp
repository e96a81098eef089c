#include "MainWindowFixture.h"
#include "platform/ServiceManager.h"

#include <QPushButton>
#include <QTableWidget>
#include <QToolButton>

using namespace norvex;
using namespace norvex::testing;

class ServiceButtonTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<MainWindowFixture> f;

    QPushButton *button() const { return f->find<QPushButton>("BotService"); }
    QColor colour() const { return button()->grab().toImage().pixelColor(5, 5); }
    void click() { QTest::mouseClick(button(), Qt::LeftButton); }

private slots:
    void init() { f = std::make_unique<MainWindowFixture>(); }
    void cleanup() { f.reset(); }

    void startsAndStopsTheRealService()
    {
        f->registerService();
        f->open();
        QCOMPARE(colour(), QColor(255, 0, 0));
        writeJobs({Job{QStringLiteral("new")}});

        f->prompts.answers << false; // Cancel: stays released
        click();
        QVERIFY(!button()->isChecked());
        QCOMPARE(button()->text(), QStringLiteral("停止"));

        f->prompts.answers << true;
        click();
        QCOMPARE(f->prompts.lastText(),
                 QStringLiteral("バックアップサービスを起動します。\r\nよろしいですか？"));
        QVERIFY(button()->isChecked());
        QCOMPARE(button()->text(), QStringLiteral("起動"));
        QCOMPARE(colour(), QColor(0, 128, 0));
        QCOMPARE(f->window->queryServiceState(), 3);
        QCOMPARE(f->find<QTableWidget>("GrdList")->item(0, 0)->text(), QStringLiteral("new"));

        f->prompts.answers << false; // Cancel: stays pressed
        click();
        QVERIFY(button()->isChecked());
        QCOMPARE(colour(), QColor(0, 128, 0));

        f->prompts.answers << true;
        click();
        QCOMPARE(f->prompts.lastText(),
                 QStringLiteral("バックアップサービスを停止します。\r\nよろしいですか？"));
        QVERIFY(!button()->isChecked());
        QCOMPARE(button()->text(), QStringLiteral("停止"));
        QCOMPARE(colour(), QColor(255, 0, 0));
        // The button counts a pending stop as stopped; the service gets there a moment later.
        QTRY_COMPARE_WITH_TIMEOUT(f->window->queryServiceState(), 0, 30000);
        QCOMPARE(f->prompts.shown.size(), 4);
    }

    // A start that never completes fails after the wait; a start the manager refuses shows
    // its reason. Either way the button is released and red, and run now refuses.
    void failedStarts_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("message");
        QTest::newRow("stays start pending")
            << qEnvironmentVariable("NORVEX_SOURCE_DIR") + "/tests/fakes/stuck_starting_service.py"
            << "サービスプログラムを起動できませんでした。";
        QTest::newRow("ends at once")
            << "/bin/true" << platform::serviceErrorText(platform::ServiceErrorCode::NoResponse);
    }
    void failedStarts()
    {
        QFETCH(QString, program);
        QFETCH(QString, message);
        f->registerService(program);
        writeJobs({Job{QStringLiteral("A")}});
        f->open();
        f->prompts.answers << true;
        click(); // returns once the bounded wait has given up
        QCOMPARE(f->prompts.lastText(), message);
        QVERIFY(!button()->isChecked());
        QCOMPARE(button()->text(), QStringLiteral("停止"));
        QCOMPARE(colour(), QColor(255, 0, 0));
        f->find<QTableWidget>("GrdList")->setCurrentCell(0, 0);
        f->find<QToolButton>("BotBackUp")->click();
        QVERIFY(f->prompts.lastText().startsWith(
            QStringLiteral("バックアップサービスが起動していません。")));
    }
};

QTEST_MAIN(ServiceButtonTest)
#include "ServiceButtonTest.moc"
