// The editor's connection-check buttons against the real sshd and FTP servers of the test
// fixtures.
#include "EditorTestSupport.h"
#include "TestPorts.h"
#include "config/JobEditor.h"
#include "config/support/TestProgram.h"
#include "transfer/ftp/FtpTestSupport.h"
#include "transfer/sftp/SshdFixture.h"

#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QtTest>

using namespace norvex;
using namespace norvex::testing;
using config::TJobEditor;

namespace {

const QString kMissing =
    QStringLiteral("ホスト名、ユーザ名、パスワードが正常に入力されていません。");
const QString kSuccess = QStringLiteral("接続成功しました。");

// Presses the page's check button twice; both presses must show the same single message.
QString pressTwice(TJobEditor &page, TestProgram &program, const char *button, bool change)
{
    QPushButton *check = input<QPushButton>(page, button, change);
    program.prompts.shown.clear();
    check->click();
    check->click();
    const QStringList texts = program.prompts.texts();
    if (texts.size() != 2 || texts[0] != texts[1] || !check->isEnabled())
        return QStringLiteral("presses differ: ") + texts.join(QLatin1String(" | "));
    return texts[0];
}

} // namespace

class ConnectionCheckTest : public QObject
{
    Q_OBJECT

private slots:
    void sftpCheck_data();
    void sftpCheck();
    void sftpCheckRefusesChangedHostKey();
    void ftpCheck_data();
    void ftpCheck();
};

void ConnectionCheckTest::sftpCheck_data()
{
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("key"); // a file of the fixture's key folder, or a special
    QTest::addColumn<bool>("closedPort");
    QTest::addColumn<QString>("expected"); // start of the message
    QTest::newRow("password") << "fixture"
                              << "" << false << kSuccess;
    QTest::newRow("PuTTY key, password not used") << "wrong"
                                                  << "ed25519.v3.ppk" << false << kSuccess;
    QTest::newRow("wrong password") << "wrong"
                                    << "" << false << "認証エラー : \r\n";
    QTest::newRow("key not authorized") << "x"
                                        << "id_unauthorized" << false << "認証エラー : \r\n";
    QTest::newRow("closed port") << "fixture"
                                 << "" << true << "Connectエラー : \r\n";
    QTest::newRow("key file missing") << "x"
                                      << "missing" << false << "KeyLoadエラー : \r\n";
    QTest::newRow("file is not a key") << "x"
                                       << "notakey" << false << "KeyOpenエラー : \r\n";
    QTest::newRow("password empty with a key") << ""
                                               << "ed25519.v3.ppk" << false << kMissing;
}

void ConnectionCheckTest::sftpCheck()
{
    QFETCH(QString, password);
    QFETCH(QString, key);
    QFETCH(bool, closedPort);
    QFETCH(QString, expected);
    REQUIRE_SSHD(s);
    const QString folder = freshInstallFolder(QStringLiteral("sftp"));
    TestProgram program(folder);
    TJobEditor page(program, false);
    page.showAction();
    input<QLineEdit>(page, "EdtSFTPHost")->setText(QStringLiteral("127.0.0.1"));
    input<QSpinBox>(page, "SpnSFTPPort")
        ->setValue(closedPort ? tests::closedLoopbackPort() : s.port);
    input<QLineEdit>(page, "EdtSFTPUser")->setText(s.user);
    input<QLineEdit>(page, "EdtSFTPPass")
        ->setText(password == QLatin1String("fixture") ? s.password : password);
    QString keyPath;
    if (key == QLatin1String("missing"))
        keyPath = folder + QStringLiteral("no-such.ppk");
    else if (key == QLatin1String("notakey"))
        keyPath = folder + QStringLiteral("backuplist.csv");
    else if (!key.isEmpty())
        keyPath = s.key(key);
    input<QLineEdit>(page, "EdtSFTPKey")->setText(keyPath);

    const QString shown = pressTwice(page, program, "BotSFTPConnect", false);
    QVERIFY2(shown.startsWith(expected), qPrintable(shown));
    // The component's own reason follows the fixed prefix.
    if (expected != kSuccess && expected != kMissing)
        QVERIFY2(shown.size() > expected.size() + 5, qPrintable(shown));
    // Host keys are recorded on first contact where the service looks for them.
    QFile knownHosts(folder + QStringLiteral("known_hosts"));
    if (!closedPort && expected != kMissing) {
        QVERIFY(knownHosts.open(QIODevice::ReadOnly));
        QVERIFY(knownHosts.readAll().startsWith(
            QStringLiteral("[127.0.0.1]:%1 ").arg(s.port).toUtf8()));
    } else {
        QVERIFY(!knownHosts.exists());
    }
}

void ConnectionCheckTest::sftpCheckRefusesChangedHostKey()
{
    REQUIRE_SSHD(s);
    const QString folder = freshInstallFolder(QStringLiteral("changedkey"));
    const QByteArray other = sftptest::readFile(s.key(QStringLiteral("id_unauthorized.pub")));
    QVERIFY(sftptest::writeFile(folder + QStringLiteral("known_hosts"),
                                QStringLiteral("[127.0.0.1]:%1 ").arg(s.port).toUtf8() +
                                    other.left(other.lastIndexOf(' ')) + '\n'));
    TestProgram program(folder);
    TJobEditor page(program, true);
    input<QLineEdit>(page, "EdtSFTPHost", true)->setText(QStringLiteral("127.0.0.1"));
    input<QSpinBox>(page, "SpnSFTPPort", true)->setValue(s.port);
    input<QLineEdit>(page, "EdtSFTPUser", true)->setText(s.user);
    input<QLineEdit>(page, "EdtSFTPPass", true)->setText(s.password);
    const QString shown = pressTwice(page, program, "BotSFTPConnect", true);
    QVERIFY2(shown.startsWith(QStringLiteral("Connectエラー : \r\n")), qPrintable(shown));
    QVERIFY2(shown.contains(s.hostKeySha256) && shown.count(QStringLiteral("SHA256:")) == 2,
             qPrintable(shown));
}

void ConnectionCheckTest::ftpCheck_data()
{
    QTest::addColumn<QString>("server");
    QTest::addColumn<QString>("situation");
    for (const char *server : {"pyftpdlib", "pure-ftpd"})
        for (const char *what : {"success", "wrong password", "closed port", "no user"})
            QTest::newRow(
                qPrintable(QStringLiteral("%1 %2").arg(QLatin1String(server), QLatin1String(what))))
                << QString::fromLatin1(server) << QString::fromLatin1(what);
}

void ConnectionCheckTest::ftpCheck()
{
    QFETCH(QString, server);
    QFETCH(QString, situation);
    const FtpServer ftp = ftpServer(server);
    QVERIFY2(!ftp.port.isEmpty(), "the ftpservers fixture is not running");
    TestProgram program(freshInstallFolder(QStringLiteral("ftp")));
    TJobEditor page(program, true);
    const bool closed = situation == QLatin1String("closed port");
    input<QLineEdit>(page, "EdtFTPHost", true)->setText(QStringLiteral("127.0.0.1"));
    input<QSpinBox>(page, "SpnFTPPort", true)
        ->setValue(closed ? tests::closedLoopbackPort() : ftp.port.toInt());
    input<QLineEdit>(page, "EdtFTPUser", true)
        ->setText(situation == QLatin1String("no user") ? QString() : ftp.user);
    input<QLineEdit>(page, "EdtFTPPass", true)
        ->setText(situation == QLatin1String("wrong password") ? QStringLiteral("nope")
                                                               : ftp.password);
    const QString shown = pressTwice(page, program, "BotFTPConnect", true);
    if (situation == QLatin1String("success"))
        QCOMPARE(shown, kSuccess);
    else if (situation == QLatin1String("no user"))
        QCOMPARE(shown, kMissing);
    else
        QVERIFY2(shown.startsWith(QStringLiteral("Openエラー : \r\n")) && shown.size() > 15,
                 qPrintable(shown));
    if (situation == QLatin1String("wrong password"))
        QVERIFY2(shown.contains(QStringLiteral("530")), qPrintable(shown));
}

QTEST_MAIN(ConnectionCheckTest)
#include "ConnectionCheckTest.moc"
