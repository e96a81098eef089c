#include "MainWindowFixture.h"
#include "shared/IniFileCompo.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>

using namespace norvex;
using namespace norvex::testing;

namespace {

QString iniPath()
{
    return home() + QStringLiteral("Norvex.ini");
}

QByteArray readIni()
{
    QFile file(iniPath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeIni(const QByteArray &text)
{
    QDir(iniPath()).removeRecursively(); // left by a case whose save had to fail
    QFile file(iniPath());
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text);
}

} // namespace

class OptionPageTest : public QObject
{
    Q_OBJECT

private slots:
    // Each save writes the settings file as it is at that moment plus the one value.
    void roundTripKeepsOtherSettings()
    {
        MainWindowFixture f;
        f.registerService();
        writeIni("; made by hand\r\n[Other]\r\nKey=1\r\n");
        f.open();
        f.clickNode(7);
        auto *check = f.find<QCheckBox>("ChkTmpFolder");
        auto *folder = f.find<QLineEdit>("EdtTmpFolder");
        auto *ok = f.find<QPushButton>("BotOptionOk");
        QVERIFY(!check->isChecked());
        QVERIFY(!f.find<QGroupBox>("GrpTmpFolder")->isEnabled());
        QVERIFY(folder->isReadOnly());

        check->click();
        QVERIFY(f.find<QGroupBox>("GrpTmpFolder")->isEnabled());
        ok->click();
        QCOMPARE(f.prompts.lastText(), QStringLiteral("保存先フォルダを選択してください。"));
        QVERIFY(folder->hasFocus() || !f.window->isActiveWindow());

        f.prompts.fileNames << QStringLiteral("/var/tmp/nx");
        f.find<QPushButton>("BotTmpFolder")->click();
        QCOMPARE(f.prompts.dialogTitles.last(), QStringLiteral("フォルダーの選択"));
        QCOMPARE(folder->text(), QStringLiteral("/var/tmp/nx"));
        f.prompts.answers << false;
        ok->click();
        QCOMPARE(f.currentPage(), QStringLiteral("TabOption"));
        QVERIFY(!readIni().contains("TmpFolder"));

        writeIni("; made by hand\r\n[Other]\r\nKey=2\r\n"); // changed meanwhile
        f.prompts.answers << true;
        ok->click();
        QCOMPARE(f.currentPage(), QStringLiteral("TabList"));
        QCOMPARE(f.highlightedNode(), 2);
        QByteArray text = readIni();
        QVERIFY2(text.contains("Key=2") && text.contains("; made by hand") &&
                     text.contains("[Option]\r\nTmpFolder=/var/tmp/nx"),
                 text.constData());

        f.clickNode(7);
        QVERIFY(check->isChecked());
        check->click();
        QCOMPARE(folder->text(), QStringLiteral("/var/tmp/nx")); // unticking keeps the text
        f.prompts.answers << true;
        ok->click();
        text = readIni();
        QVERIFY2(text.contains("TmpFolder=\r\n") && text.contains("Key=2"), text.constData());

        // A save that fails is reported and the page stays.
        QVERIFY(QFile::remove(iniPath()) && QDir().mkdir(iniPath()));
        f.clickNode(7);
        f.prompts.answers << true;
        ok->click();
        QVERIFY(f.prompts.lastText().startsWith(
            QStringLiteral("オプション設定を保存できませんでした。")));
        QCOMPARE(f.currentPage(), QStringLiteral("TabOption"));
        f.find<QPushButton>("BotOptionCancel")->click();
        QCOMPARE(f.currentPage(), QStringLiteral("TabList"));
        QVERIFY(f.prompts.unexpected.isEmpty());
    }

    // The settings of what the service does after a run: read with their defaults, saved
    // with the folder, every other setting of the file kept.
    void afterRunSettings_data()
    {
        QTest::addColumn<QByteArray>("option"); // the Option section's lines before
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("retries");
        QTest::addColumn<bool>("verify");
        QTest::newRow("missing: defaults") << QByteArray() << "" << 3 << true;
        QTest::newRow("set, names in another case")
            << QByteArray("notifycommand=/usr/bin/logger -t norvex\r\nRETRYCOUNT=5\r\n"
                          "verifyarchive=0\r\n")
            << "/usr/bin/logger -t norvex" << 5 << false;
        QTest::newRow("out of range or not readable: defaults")
            << QByteArray("RetryCount=9\r\nVerifyArchive=yes\r\n") << "" << 3 << true;
    }
    void afterRunSettings()
    {
        QFETCH(QByteArray, option);
        QFETCH(QString, command);
        QFETCH(int, retries);
        QFETCH(bool, verify);
        MainWindowFixture f;
        f.registerService();
        writeIni("[Other]\r\nKey=1\r\n\r\n[Option]\r\nTmpFolder=\r\nMine=x\r\n" + option);
        f.open();
        f.clickNode(7);
        auto *edit = f.find<QLineEdit>("EdtNotifyCommand");
        auto *spin = f.find<QSpinBox>("SpnRetryCount");
        auto *check = f.find<QCheckBox>("ChkVerifyArchive");
        QCOMPARE(edit->text(), command);
        QCOMPARE(spin->value(), retries);
        QCOMPARE(check->isChecked(), verify);
        QCOMPARE(spin->minimum(), 0);
        QCOMPARE(spin->maximum(), 5);

        edit->setText(QStringLiteral(" /opt/notify --to \"山田 太郎\" "));
        spin->setValue(0);
        check->setChecked(!verify);
        f.prompts.answers << false; // not saved on Cancel
        f.find<QPushButton>("BotOptionOk")->click();
        QVERIFY(!readIni().contains("/opt/notify"));
        f.prompts.answers << true;
        f.find<QPushButton>("BotOptionOk")->click();
        QCOMPARE(f.currentPage(), QStringLiteral("TabList"));
        const QString text = QString::fromUtf8(readIni());
        QVERIFY2(text.contains(QStringLiteral("[Other]\r\nKey=1\r\n")) &&
                     text.contains(QStringLiteral("Mine=x\r\n")),
                 qPrintable(text));
        shared::TIniFileCompo saved;
        saved.SetDefaultFolder(shared::TIniFileCompo::dfUser);
        saved.SetFileName(iniPath());
        const auto value = [&saved](const char *key) {
            return saved.ReadValue(QStringLiteral("Option"), QLatin1String(key),
                                   QStringLiteral("?"));
        };
        QCOMPARE(value("NotifyCommand"), QStringLiteral("/opt/notify --to \"山田 太郎\""));
        QCOMPARE(value("RetryCount"), QStringLiteral("0"));
        QCOMPARE(value("VerifyArchive"), verify ? QStringLiteral("0") : QStringLiteral("-1"));
        QCOMPARE(value("TmpFolder"), QString());
        QCOMPARE(text.count(QStringLiteral("[Option]")), 1);

        f.clickNode(2);
        f.clickNode(7);
        QCOMPARE(edit->text(), QStringLiteral("/opt/notify --to \"山田 太郎\""));
        QCOMPARE(spin->value(), 0);
        QCOMPARE(check->isChecked(), !verify);
        QVERIFY(f.prompts.unexpected.isEmpty());
    }

    // Every new input is named by its caption and read in the page's order.
    void afterRunInputsAreNamedAndInOrder()
    {
        MainWindowFixture f;
        f.registerService();
        f.open();
        f.clickNode(7);
        for (const char *name : {"EdtNotifyCommand", "SpnRetryCount"}) {
            QWidget *input = f.find<QWidget>(name);
            bool labelled = false;
            for (QLabel *label : f.window->findChildren<QLabel *>())
                labelled = labelled ||
                           (label->buddy() == input && label->text() == input->accessibleName());
            QVERIFY2(labelled, name);
        }
        QCOMPARE(f.find<QWidget>("EdtNotifyCommand")->accessibleName(),
                 QStringLiteral("通知コマンド"));
        QCOMPARE(f.find<QWidget>("SpnRetryCount")->accessibleName(), QStringLiteral("再試行回数"));
        QCOMPARE(f.find<QCheckBox>("ChkVerifyArchive")->text(),
                 QStringLiteral("アーカイブを検査する"));

        const QStringList order = {"ChkTmpFolder",     "EdtTmpFolder",  "BotTmpFolder",
                                   "EdtNotifyCommand", "BotNotifyTest", "SpnRetryCount",
                                   "ChkVerifyArchive", "BotOptionOk",   "BotOptionCancel"};
        QStringList seen;
        QWidget *w = f.find<QWidget>("ChkTmpFolder");
        for (int i = 0; i < 200 && seen.size() < order.size(); ++i, w = w->nextInFocusChain())
            if (order.contains(w->objectName()) && !seen.contains(w->objectName()))
                seen << w->objectName();
        QCOMPARE(seen, order);
    }

    // The test button runs the command as typed, off the window's thread, and says how it
    // went; the button waits for it.
    void notifyTestButton_data()
    {
        QTest::addColumn<QByteArray>("script"); // run as: /bin/sh "<script>" "<out.txt>"
        QTest::addColumn<QString>("said");
        QTest::addColumn<QString>("alsoSaid");
        QTest::addColumn<QString>("written"); // what the command wrote to out.txt
        QTest::newRow("writes a file")
            << QByteArray("sleep 0.3\nprintf '%s|%s|%s' \"$NORVEX_JOB\" \"$NORVEX_EVENT\" "
                          "\"$NORVEX_TEXT\" > \"$1\"\n")
            << "通知コマンドを実行しました。"
            << ""
            << "Norvex|test|Norvexの通知コマンドのテストです。";
        QTest::newRow("fails") << QByteArray("echo mail server refused >&2\nexit 3\n")
                               << "通知コマンドを実行できませんでした。\r\n"
                               << "mail server refused"
                               << "";
        QTest::newRow("no such program")
            << QByteArray() << "通知コマンドを実行できませんでした。\r\n"
            << "/nonexistent/norvex-notify"
            << "";
    }
    void notifyTestButton()
    {
        QFETCH(QByteArray, script);
        QFETCH(QString, said);
        QFETCH(QString, alsoSaid);
        QFETCH(QString, written);
        QTemporaryDir dir;
        const QString out = dir.filePath(QStringLiteral("out.txt"));
        QString command = QStringLiteral("/nonexistent/norvex-notify");
        if (!script.isEmpty()) {
            QFile file(dir.filePath(QStringLiteral("notify.sh")));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(script);
            command = QStringLiteral("/bin/sh \"%1\" \"%2\"").arg(file.fileName(), out);
        }
        MainWindowFixture f;
        f.registerService();
        f.open();
        f.clickNode(7);
        auto *edit = f.find<QLineEdit>("EdtNotifyCommand");
        auto *button = f.find<QPushButton>("BotNotifyTest");
        edit->setText(command);
        button->click();
        QVERIFY(!button->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(button->isEnabled(), 30000);
        QCOMPARE(f.prompts.shown.size(), 1);
        QVERIFY2(f.prompts.lastText().startsWith(said), qPrintable(f.prompts.lastText()));
        QVERIFY2(f.prompts.lastText().contains(alsoSaid), qPrintable(f.prompts.lastText()));
        QCOMPARE(f.prompts.shown.last().kind, alsoSaid.isEmpty()
                                                  ? config::Prompter::Kind::Information
                                                  : config::Prompter::Kind::Error);
        QFile file(out);
        QCOMPARE(file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString(),
                 written);
        QVERIFY(!readIni().contains("NotifyCommand")); // tried, not saved

        // Nothing to run: said, with the focus on the field.
        edit->clear();
        button->click();
        QCOMPARE(f.prompts.lastText(), QStringLiteral("通知コマンドを入力してください。"));
        QVERIFY(edit->hasFocus() || !f.window->isActiveWindow());
    }
};

QTEST_MAIN(OptionPageTest)
#include "OptionPageTest.moc"
