// End to end: a job made through the source dialog and the add page is backed up by the real
// NorvexService running on the same installation folder.
#include "EditorTestSupport.h"
#include "config/FrmSelect.h"
#include "config/JobEditor.h"
#include "config/support/TestProgram.h"
#include "service/support/Archives.h"
#include "service/support/ServiceRunner.h"
#include "shared/mlb2.h"
#include "transfer/ftp/FtpTestSupport.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
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
        QVERIFY(testing::writeFile(home + QStringLiteral("Norvex.ini"),
                                   "[Option]\r\nTmpFolder=" + tmp.toUtf8() + "\r\n\r\n"));
        const QMap<QString, QByteArray> files{{QStringLiteral("my docs/a.txt"), "alpha"},
                                              {QStringLiteral("b.bin"), noise(70000, 3)}};
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            QVERIFY(testing::writeFile(data + QLatin1Char('/') + it.key(), it.value()));

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

    // Passive FTPS to vsftpd, which requires TLS for the login and the data and a resumed
    // session on every data connection; two runs leave two generations.
    void passiveFtpsJobStoresItsGenerationsOnVsftpd()
    {
        const FtpServer server = ftpServer(QStringLiteral("vsftpd-tls"));
        QVERIFY2(!server.port.isEmpty(), "FTP test servers are not running");
        const QString home = QDir::cleanPath(makeInstallFolder(QStringLiteral("e2e-ftps"))) + "/";
        QVERIFY(shared::ensureJobTable(home));
        const QString tmp = home + QStringLiteral("tmp");
        const QString data = home + QStringLiteral("data");
        QVERIFY(QDir().mkpath(tmp));
        QVERIFY(testing::writeFile(home + QStringLiteral("Norvex.ini"),
                                   "[Option]\r\nTmpFolder=" + tmp.toUtf8() + "\r\n\r\n"));
        const QMap<QString, QByteArray> files{{QStringLiteral("帳簿.bin"), noise(300000, 5)}};
        QVERIFY(testing::writeFile(data + QStringLiteral("/帳簿.bin"), files.first()));
        const QString folder = uniqueName(QStringLiteral("e2e"));

        TestProgram program(home, QDateTime::currentDateTime());
        program.current = config::Page::AddBackUp;
        config::TJobEditor add(program, false);
        config::TFrmSelect dialog(program);
        dialog.attachEditors(&add, nullptr);
        add.show();
        add.showAction();
        QVERIFY(dialog.showFolder(data));
        auto *list = dialog.findChild<QTreeWidget *>(QStringLiteral("LstFile"));
        QCOMPARE(list->topLevelItemCount(), 1);
        list->topLevelItem(0)->setSelected(true);
        dialog.findChild<QPushButton *>(QStringLiteral("BotSelect"))->click();
        dialog.findChild<QPushButton *>(QStringLiteral("BotOk"))->click();
        input<QLineEdit>(add, "EdtBackUpName")->setText(QStringLiteral("ftps"));
        input<QComboBox>(add, "CmbToBackUp")->setCurrentIndex(1);
        input<QLineEdit>(add, "EdtFTPHost")->setText(QStringLiteral("127.0.0.1"));
        input<QSpinBox>(add, "SpnFTPPort")->setValue(server.port.toInt());
        input<QLineEdit>(add, "EdtFTPUser")->setText(server.user);
        input<QLineEdit>(add, "EdtFTPPass")->setText(server.password);
        QCOMPARE(input<QComboBox>(add, "CmbFTPMode")->currentText(), QStringLiteral("パッシブ"));
        input<QComboBox>(add, "CmbFTPSecurity")->setCurrentIndex(1);
        input<QCheckBox>(add, "ChkCreateFolder")->setChecked(true);
        input<QLineEdit>(add, "EdtCreateFolder")->setText(folder);
        input<QCheckBox>(add, "ChkSedai")->setChecked(true);
        input<QSpinBox>(add, "SpnSedaiNum")->setValue(3);
        input<QDateTimeEdit>(add, "PicTime")
            ->setDateTime(QDateTime::currentDateTime().addSecs(-60));
        program.prompts.answers.enqueue(true);
        input<QPushButton>(add, "BotOk")->click();
        QCOMPARE(program.navigation, QStringList{QStringLiteral("list -1")});

        const QString remote = server.root + QLatin1Char('/') + folder + QLatin1Char('/');
        const QString gen1 = remote + QStringLiteral("Norvex-ftps-1-.zip");
        const QString gen2 = remote + QStringLiteral("Norvex-ftps-2-.zip");
        for (int run = 1; run <= 2; ++run) {
            if (run == 2) {
                // Due again at once: the first run moved backupdt a day on.
                shared::TMlb2 table;
                shared::setupJobTable(table);
                QVERIFY(table.LoadFromFile(shared::jobTablePath(home)));
                table.First();
                table.SetFieldByName(
                    QStringLiteral("backupdt"),
                    shared::formatDateTime(QDateTime::currentDateTime().addSecs(-60)));
                QVERIFY(table.SaveToFile(shared::jobTablePath(home)));
            }
            ServiceRunner service(home);
            QVERIFY(service.start());
            QVERIFY(service.waitForEntries(
                esc(QStringLiteral("ftps リモートコピー処理を終了しました。")), run, 120000));
            QVERIFY(service.stop());
        }
        QVERIFY(QFileInfo::exists(gen2));
        QVERIFY(testArchive(gen1));
        QVERIFY(holdsExactly(extract(gen1, tmp + QStringLiteral("/x")), files));
        // The self-signed certificate was trusted on first use, recorded and logged once.
        QVERIFY(readFile(home + QStringLiteral("known_certs"))
                    .startsWith("[127.0.0.1]:" + server.port.toUtf8() + " SHA256:"));
        QCOMPARE(countMatching(entries(home), esc(QStringLiteral("証明書を初めての接続で信頼"))),
                 1);
    }
};

QTEST_MAIN(EditorServiceTest)
#include "EditorServiceTest.moc"
