#include "MainWindowFixture.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>

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
};

QTEST_MAIN(OptionPageTest)
#include "OptionPageTest.moc"
