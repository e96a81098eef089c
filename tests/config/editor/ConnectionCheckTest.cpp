// The editor's connection-check buttons against the real sshd and FTP servers of the test
// fixtures.
#include "EditorTestSupport.h"
#include "TestPorts.h"
#include "config/JobEditor.h"
#include "config/support/TestProgram.h"
#include "transfer/CertTrust.h"
#include "transfer/ftp/FtpTestSupport.h"
#include "transfer/sftp/SshdFixture.h"

#include <QComboBox>
#include <QCryptographicHash>
#include <QLineEdit>
#include <QProcess>
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

// The messages shown, without the questions asked.
QStringList messages(const TestProgram &program)
{
    QStringList out;
    for (const auto &shown : program.prompts.shown)
        if (!shown.question)
            out << shown.text;
    return out;
}

// Presses the page's check button twice; both presses must show the same single message.
// Questions are answered from the program's queue, which must be used up.
QString pressTwice(TJobEditor &page, TestProgram &program, const char *button, bool change)
{
    QPushButton *check = input<QPushButton>(page, button, change);
    program.prompts.shown.clear();
    check->click();
    check->click();
    const QStringList texts = messages(program);
    if (texts.size() != 2 || texts[0] != texts[1] || !check->isEnabled())
        return QStringLiteral("presses differ: ") + texts.join(QLatin1String(" | "));
    if (!program.prompts.answers.isEmpty() || !program.prompts.unexpected.isEmpty())
        return QStringLiteral("questions differ: ") + program.prompts.texts().join(" | ");
    return texts[0];
}

// One press whose questions are answered with `answers`: the questions asked (Yes/No
// questions only), and the message it ended with.
struct Press
{
    QList<config::Prompter::Kind> kinds;
    QStringList questions;
    QString message;
};

Press pressOnce(TJobEditor &page, TestProgram &program, const char *button,
                const QList<bool> &answers)
{
    program.prompts.shown.clear();
    program.prompts.answers = QQueue<bool>();
    for (bool a : answers)
        program.prompts.answers.enqueue(a);
    input<QPushButton>(page, button, page.isChangePage())->click();
    Press press;
    for (const auto &shown : program.prompts.shown) {
        if (shown.yesNo) {
            press.kinds << shown.kind;
            press.questions << shown.text;
        } else if (!shown.question) {
            press.message += shown.text;
        }
    }
    return press;
}

// How the user answers the trust questions, for each server.
void addTrustRows(const QStringList &servers)
{
    QTest::addColumn<QString>("server");
    QTest::addColumn<bool>("changed"); // a wrong key or certificate is recorded for the server
    QTest::addColumn<QList<bool>>("answers");
    QTest::addColumn<bool>("trusted"); // the user agreed to every question
    const struct
    {
        const char *name;
        bool changed;
        QList<bool> answers;
    } rows[] = {{"unknown, no", false, {false}},
                {"unknown, yes", false, {true}},
                {"changed, no", true, {false}},
                {"changed, yes then no", true, {true, false}},
                {"changed, yes twice", true, {true, true}}};
    for (const QString &server : servers)
        for (const auto &row : rows)
            QTest::addRow("%s%s%s", qPrintable(server), server.isEmpty() ? "" : " ", row.name)
                << server << row.changed << row.answers << !row.answers.contains(false);
}

// What every trust prompt must show: the server, the presented value, what was recorded and,
// for a changed one, the risk before anything is replaced.
QString checkQuestions(const Press &press, bool changed, const QList<bool> &answers,
                       const QString &server, const QString &presented, const QString &recorded)
{
    const int expected = changed ? int(answers.size()) : 1;
    if (press.questions.size() != expected)
        return QStringLiteral("asked %1: %2")
            .arg(press.questions.size())
            .arg(press.questions.join(" | "));
    const QString &first = press.questions[0];
    if (!first.contains(server) || !first.contains(presented))
        return QStringLiteral("first question lacks the server or the presented value: ") + first;
    if (changed != first.contains(recorded))
        return QStringLiteral("first question and the recorded value: ") + first;
    const auto kind =
        changed ? config::Prompter::Kind::Warning : config::Prompter::Kind::Information;
    for (auto k : press.kinds)
        if (k != kind)
            return QStringLiteral("question kind");
    if (expected == 2 && !press.questions[1].contains(QStringLiteral("傍受")))
        return QStringLiteral("second question does not name the risk: ") + press.questions[1];
    return {};
}

} // namespace

class ConnectionCheckTest : public QObject
{
    Q_OBJECT

private slots:
    void sftpCheck_data();
    void sftpCheck();
    void sftpHostKeyIsTrustedOnlyWhenTheUserAgrees_data() { addTrustRows({QString()}); }
    void sftpHostKeyIsTrustedOnlyWhenTheUserAgrees();
    void ftpCheck_data();
    void ftpCheck();
    void ftpsCertificateIsTrustedOnlyWhenTheUserAgrees_data();
    void ftpsCertificateIsTrustedOnlyWhenTheUserAgrees();
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
    // The first contact asks whether to trust the server's key; the second asks nothing.
    if (!closedPort && expected != kMissing)
        program.prompts.answers.enqueue(true);

    const QString shown = pressTwice(page, program, "BotSFTPConnect", false);
    QVERIFY2(shown.startsWith(expected), qPrintable(shown));
    // The component's own reason follows the fixed prefix.
    if (expected != kSuccess && expected != kMissing)
        QVERIFY2(shown.size() > expected.size() + 5, qPrintable(shown));
    // Host keys agreed to are recorded where the service looks for them.
    QFile knownHosts(folder + QStringLiteral("known_hosts"));
    if (!closedPort && expected != kMissing) {
        QVERIFY(knownHosts.open(QIODevice::ReadOnly));
        QVERIFY(knownHosts.readAll().startsWith(
            QStringLiteral("[127.0.0.1]:%1 ").arg(s.port).toUtf8()));
    } else {
        QVERIFY(!knownHosts.exists());
    }
}

void ConnectionCheckTest::sftpHostKeyIsTrustedOnlyWhenTheUserAgrees()
{
    QFETCH(bool, changed);
    QFETCH(QList<bool>, answers);
    QFETCH(bool, trusted);
    REQUIRE_SSHD(s);
    const QString folder = freshInstallFolder(QStringLiteral("hostkey"));
    const QString knownHosts = folder + QStringLiteral("known_hosts");
    const QByteArray server = QStringLiteral("[127.0.0.1]:%1 ").arg(s.port).toUtf8();
    // Another server's line, which no answer may touch.
    const QByteArray ecdsa = sftptest::readFile(s.key(QStringLiteral("id_ecdsa.pub")));
    const QByteArray otherServer = "backup.example " + ecdsa.left(ecdsa.lastIndexOf(' ')) + '\n';
    const QByteArray other = sftptest::readFile(s.key(QStringLiteral("id_unauthorized.pub")));
    const QByteArray wrongLine = server + other.left(other.lastIndexOf(' ')) + '\n';
    const QByteArray before = changed ? otherServer + wrongLine + otherServer : QByteArray();
    if (changed)
        QVERIFY(sftptest::writeFile(knownHosts, before));
    TestProgram program(folder);
    TJobEditor page(program, true);
    input<QLineEdit>(page, "EdtSFTPHost", true)->setText(QStringLiteral("127.0.0.1"));
    input<QSpinBox>(page, "SpnSFTPPort", true)->setValue(s.port);
    input<QLineEdit>(page, "EdtSFTPUser", true)->setText(s.user);
    input<QLineEdit>(page, "EdtSFTPPass", true)->setText(s.password);

    const Press press = pressOnce(page, program, "BotSFTPConnect", answers);
    QCOMPARE(program.prompts.answers.size(), 0);
    // Shown as OpenSSH shows them.
    const QString recordedFingerprint =
        sftptest::keyFingerprint(s.key(QStringLiteral("id_unauthorized.pub")));
    QVERIFY(recordedFingerprint.startsWith(QStringLiteral("SHA256:")));
    const QString problem =
        checkQuestions(press, changed, answers, QStringLiteral("127.0.0.1:%1").arg(s.port),
                       QStringLiteral("ssh-ed25519 ") + s.hostKeySha256,
                       QStringLiteral("ssh-ed25519 ") + recordedFingerprint);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));

    if (!trusted) {
        // The failure the check always showed, and the file as it was.
        QVERIFY2(press.message.startsWith(QStringLiteral("Connectエラー : \r\n")) &&
                     press.message.contains(s.hostKeySha256),
                 qPrintable(press.message));
        QCOMPARE(program.prompts.shown.last().kind, config::Prompter::Kind::Error);
        if (changed)
            QCOMPARE(sftptest::readFile(knownHosts), before);
        else
            QVERIFY(!QFile::exists(knownHosts));
        return;
    }
    QCOMPARE(press.message, kSuccess);
    const QByteArray after = sftptest::readFile(knownHosts);
    QCOMPARE(after.count(server), 1);
    QVERIFY(!after.contains(wrongLine));
    if (changed)
        QVERIFY(after.startsWith(otherServer + otherServer));
    // OpenSSH agrees with what was recorded.
    QProcess find;
    find.start(QStringLiteral("ssh-keygen"),
               {QStringLiteral("-l"), QStringLiteral("-E"), QStringLiteral("sha256"),
                QStringLiteral("-F"), QStringLiteral("[127.0.0.1]:%1").arg(s.port),
                QStringLiteral("-f"), knownHosts});
    QVERIFY(find.waitForFinished(10000));
    QVERIFY2(find.readAllStandardOutput().contains(s.hostKeySha256.toLatin1()), after.constData());

    // Trusted once, the server is not asked about again.
    const Press again = pressOnce(page, program, "BotSFTPConnect", {});
    QCOMPARE(again.questions, QStringList());
    QCOMPARE(again.message, kSuccess);
    QCOMPARE(sftptest::readFile(knownHosts), after);
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

void ConnectionCheckTest::ftpsCertificateIsTrustedOnlyWhenTheUserAgrees_data()
{
    addTrustRows({QStringLiteral("vsftpd"), QStringLiteral("pure-ftpd")});
}

void ConnectionCheckTest::ftpsCertificateIsTrustedOnlyWhenTheUserAgrees()
{
    QFETCH(QString, server);
    QFETCH(bool, changed);
    QFETCH(QList<bool>, answers);
    QFETCH(bool, trusted);
    const QMap<QString, QString> env = readFtpServersEnv();
    if (!env.contains(QStringLiteral("FTPS_VSFTPD_PORT")))
        QSKIP("servers.env has no FTPS_VSFTPD_PORT: the ftpservers fixture runs no TLS servers "
              "in this build");
    const int port =
        env.value(server == QLatin1String("vsftpd") ? QStringLiteral("FTPS_VSFTPD_PORT")
                                                    : QStringLiteral("FTPS_PURE_PORT"))
            .toInt();
    QVERIFY2(port > 0, "servers.env names no port for this TLS server");
    // The fingerprint of the fixture's self-signed certificate (PEM), from its DER bytes.
    QFile pem(env.value(QStringLiteral("FTPS_CERT")));
    QVERIFY2(pem.open(QIODevice::ReadOnly), qPrintable(pem.fileName()));
    const QByteArray text = pem.readAll();
    const qsizetype begin = text.indexOf("-----BEGIN CERTIFICATE-----");
    const qsizetype end = text.indexOf("-----END CERTIFICATE-----");
    QVERIFY(begin >= 0 && end > begin);
    const QByteArray der = QByteArray::fromBase64(text.mid(begin + 27, end - begin - 27));
    const QString fingerprint =
        QStringLiteral("SHA256:") +
        QString::fromLatin1(
            QCryptographicHash::hash(der, QCryptographicHash::Sha256).toHex(':').toUpper());

    const QString folder = freshInstallFolder(QStringLiteral("ftpscert"));
    const QString knownCerts = folder + QStringLiteral("known_certs");
    const QString wrong = QStringLiteral("SHA256:") + QString(QStringLiteral("AB:")).repeated(31) +
                          QStringLiteral("AB");
    if (changed) {
        QVERIFY(transfer::recordCertificate(knownCerts, QStringLiteral("ftp.example"), 21,
                                            QStringLiteral("SHA256:00")));
        QVERIFY(transfer::recordCertificate(knownCerts, QStringLiteral("127.0.0.1"), port, wrong));
    }
    const QByteArray before = sftptest::readFile(knownCerts);
    TestProgram program(folder);
    TJobEditor page(program, true);
    input<QLineEdit>(page, "EdtFTPHost", true)->setText(QStringLiteral("127.0.0.1"));
    input<QSpinBox>(page, "SpnFTPPort", true)->setValue(port);
    input<QLineEdit>(page, "EdtFTPUser", true)
        ->setText(env.value(QStringLiteral("FTPS_USER"), env.value(QStringLiteral("FTP_USER"))));
    input<QLineEdit>(page, "EdtFTPPass", true)
        ->setText(
            env.value(QStringLiteral("FTPS_PASSWORD"), env.value(QStringLiteral("FTP_PASSWORD"))));
    input<QComboBox>(page, "CmbFTPSecurity", true)->setCurrentIndex(1);

    const Press press = pressOnce(page, program, "BotFTPConnect", answers);
    QCOMPARE(program.prompts.answers.size(), 0);
    const QString problem = checkQuestions(
        press, changed, answers, QStringLiteral("127.0.0.1:%1").arg(port), fingerprint, wrong);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    if (!trusted) {
        QVERIFY2(press.message.startsWith(QStringLiteral("Openエラー : \r\n")),
                 qPrintable(press.message));
        QCOMPARE(sftptest::readFile(knownCerts), before);
        return;
    }
    QCOMPARE(press.message, kSuccess);
    QCOMPARE(transfer::recordedCertificate(knownCerts, QStringLiteral("127.0.0.1"), port),
             fingerprint);
    if (changed)
        QCOMPARE(transfer::recordedCertificate(knownCerts, QStringLiteral("ftp.example"), 21),
                 QStringLiteral("SHA256:00"));
    const Press again = pressOnce(page, program, "BotFTPConnect", {});
    QCOMPARE(again.questions, QStringList());
    QCOMPARE(again.message, kSuccess);

    // Without TLS the server refuses the login, and nothing is asked.
    input<QComboBox>(page, "CmbFTPSecurity", true)->setCurrentIndex(0);
    const Press clear = pressOnce(page, program, "BotFTPConnect", {});
    QCOMPARE(clear.questions, QStringList());
    QVERIFY2(clear.message.startsWith(QStringLiteral("Openエラー : \r\n")),
             qPrintable(clear.message));
}

QTEST_MAIN(ConnectionCheckTest)
#include "ConnectionCheckTest.moc"
