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

namespace {

// A fresh installation folder (job table, temporary folder, the files to back up under
// data/) and its add page with the source dialog attached.
struct AddPageOn
{
    explicit AddPageOn(const QString &name)
        : home(QDir::cleanPath(makeInstallFolder(name)) + QStringLiteral("/")),
          tmp(home + QStringLiteral("tmp")), data(home + QStringLiteral("data")),
          program(home, QDateTime::currentDateTime()), add(program, false), dialog(program)
    {
        shared::ensureJobTable(home);
        QDir().mkpath(tmp);
        testing::writeFile(home + QStringLiteral("Norvex.ini"),
                           "[Option]\r\nTmpFolder=" + tmp.toUtf8() + "\r\n\r\n");
        program.current = config::Page::AddBackUp;
        dialog.attachEditors(&add, nullptr);
    }

    // Shows the page with everything in data/ chosen as sources, through the dialog.
    bool showWithEverythingInData(const QMap<QString, QByteArray> &files)
    {
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            if (!testing::writeFile(data + QLatin1Char('/') + it.key(), it.value()))
                return false;
        add.show();
        add.showAction();
        if (!dialog.showFolder(data))
            return false;
        auto *entries = dialog.findChild<QTreeWidget *>(QStringLiteral("LstFile"));
        for (int i = 0; i < entries->topLevelItemCount(); ++i)
            entries->topLevelItem(i)->setSelected(true);
        dialog.findChild<QPushButton *>(QStringLiteral("BotSelect"))->click();
        dialog.findChild<QPushButton *>(QStringLiteral("BotOk"))->click();
        return true;
    }

    // OK on the page, due at once rather than at the next 04:00.
    bool save()
    {
        input<QDateTimeEdit>(add, "PicTime")
            ->setDateTime(QDateTime::currentDateTime().addSecs(-60));
        program.prompts.answers.enqueue(true);
        input<QPushButton>(add, "BotOk")->click();
        return program.navigation == QStringList{QStringLiteral("list -1")};
    }

    const QString home;
    const QString tmp;
    const QString data;
    TestProgram program;
    config::TJobEditor add;
    config::TFrmSelect dialog;
};

} // namespace

class EditorServiceTest : public QObject
{
    Q_OBJECT

private slots:
    void addedJobIsBackedUpByTheService()
    {
        AddPageOn page(QStringLiteral("e2e"));
        const QString dest = page.home + QStringLiteral("dest folder");
        QVERIFY(QDir().mkpath(dest));
        const QMap<QString, QByteArray> files{{QStringLiteral("my docs/a.txt"), "alpha"},
                                              {QStringLiteral("b.bin"), noise(70000, 3)}};
        QVERIFY(page.showWithEverythingInData(files));
        config::TJobEditor &add = page.add;
        const QString &data = page.data;
        input<QLineEdit>(add, "EdtBackUpName")->setText(QStringLiteral("from-editor"));
        QCOMPARE(add.sourceList(),
                 (QStringList{data + QStringLiteral("/my docs"), data + QStringLiteral("/b.bin")}));
        input<QComboBox>(add, "CmbToBackUp")->setCurrentIndex(2);
        input<QLineEdit>(add, "EdtSaveFolder")->setText(dest);
        QVERIFY(page.save());

        ServiceRunner service(page.home);
        QVERIFY(service.start());
        const QString archive = dest + QStringLiteral("/Norvex-from-editor.zip");
        QVERIFY(service.waitFor([&] { return QFileInfo::exists(archive); }, 90000));
        QVERIFY(service.stop());
        QVERIFY(testArchive(archive));
        QVERIFY(holdsExactly(extract(archive, page.tmp + QStringLiteral("/x")), files));
    }

    // Passive FTPS to vsftpd, which requires TLS for the login and the data and a resumed
    // session on every data connection; two runs leave two generations.
    void passiveFtpsJobStoresItsGenerationsOnVsftpd()
    {
        const FtpServer server = ftpServer(QStringLiteral("vsftpd-tls"));
        QVERIFY2(!server.port.isEmpty(), "FTP test servers are not running");
        AddPageOn page(QStringLiteral("e2e-ftps"));
        const QMap<QString, QByteArray> files{{QStringLiteral("帳簿.bin"), noise(300000, 5)}};
        QVERIFY(page.showWithEverythingInData(files));
        config::TJobEditor &add = page.add;
        const QString &home = page.home;
        const QString folder = uniqueName(QStringLiteral("e2e"));
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
        QVERIFY(page.save());

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
        QVERIFY(holdsExactly(extract(gen1, page.tmp + QStringLiteral("/x")), files));
        // The self-signed certificate was trusted on first use, recorded and logged once.
        QVERIFY(readFile(home + QStringLiteral("known_certs"))
                    .startsWith("[127.0.0.1]:" + server.port.toUtf8() + " SHA256:"));
        QCOMPARE(countMatching(entries(home), esc(QStringLiteral("証明書を初めての接続で信頼"))),
                 1);
    }
};

QTEST_MAIN(EditorServiceTest)
#include "EditorServiceTest.moc"
