// End to end: a job made through the source dialog and the add page is backed up by the real
// NorvexService running on the same installation folder.
#include "EditorTestSupport.h"
#include "config/FrmSelect.h"
#include "config/JobEditor.h"
#include "config/support/TestProgram.h"
#include "service/support/Archives.h"
#include "service/support/ServiceRunner.h"

#include <QComboBox>
#include <QDateTimeEdit>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QtTest>

using namespace norvex;
using namespace norvex::testing;

class EditorServiceTest : public QObject
{
    Q_OBJECT

private slots:
    void addedJobIsBackedUpByTheService()
    {
        const QString home = QDir::cleanPath(makeInstallFolder(QStringLiteral("e2e"))) + "/";
        QVERIFY(shared::ensureJobTable(home));
        const QString tmp = home + QStringLiteral("tmp");
        const QString dest = home + QStringLiteral("dest folder");
        const QString data = home + QStringLiteral("data");
        QVERIFY(QDir().mkpath(tmp) && QDir().mkpath(dest));
        QVERIFY(writeFile(home + QStringLiteral("Norvex.ini"),
                          "[Option]\r\nTmpFolder=" + tmp.toUtf8() + "\r\n\r\n"));
        const QMap<QString, QByteArray> files{{QStringLiteral("my docs/a.txt"), "alpha"},
                                              {QStringLiteral("b.bin"), noise(70000, 3)}};
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            QVERIFY(writeFile(data + QLatin1Char('/') + it.key(), it.value()));

        TestProgram program(home, QDateTime::currentDateTime());
        program.current = config::Page::AddBackUp;
        config::TJobEditor add(program, false);
        config::TFrmSelect dialog(program);
        dialog.attachEditors(&add, nullptr);
        add.show();
        add.showAction();
        input<QLineEdit>(add, "EdtBackUpName")->setText(QStringLiteral("from-editor"));
        QVERIFY(dialog.showFolder(data));
        auto *entries = dialog.findChild<QTreeWidget *>(QStringLiteral("LstFile"));
        for (int i = 0; i < entries->topLevelItemCount(); ++i)
            entries->topLevelItem(i)->setSelected(true);
        dialog.findChild<QPushButton *>(QStringLiteral("BotSelect"))->click();
        dialog.findChild<QPushButton *>(QStringLiteral("BotOk"))->click();
        QCOMPARE(add.sourceList(),
                 (QStringList{data + QStringLiteral("/my docs"), data + QStringLiteral("/b.bin")}));
        input<QComboBox>(add, "CmbToBackUp")->setCurrentIndex(2);
        input<QLineEdit>(add, "EdtSaveFolder")->setText(dest);
        // Due at once rather than at tomorrow's 04:00.
        input<QDateTimeEdit>(add, "PicTime")
            ->setDateTime(QDateTime::currentDateTime().addSecs(-60));
        program.prompts.answers.enqueue(true);
        input<QPushButton>(add, "BotOk")->click();
        QCOMPARE(program.navigation, QStringList{QStringLiteral("list -1")});

        ServiceRunner service(home);
        QVERIFY(service.start());
        const QString archive = dest + QStringLiteral("/Norvex-from-editor.zip");
        QVERIFY(service.waitFor([&] { return QFileInfo::exists(archive); }, 90000));
        QVERIFY(service.stop());
        QVERIFY(testArchive(archive));
        QVERIFY(holdsExactly(extract(archive, tmp + QStringLiteral("/x")), files));
    }
};

QTEST_MAIN(EditorServiceTest)
#include "EditorServiceTest.moc"
