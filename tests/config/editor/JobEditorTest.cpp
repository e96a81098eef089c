// The add and change pages driven through their widgets, with the job table file as the
// outcome.
#include "config/JobEditor.h"
#include "EditorTestSupport.h"
#include "config/support/TestProgram.h"
#include "platform/ServiceManager.h"
#include "shared/ExcludePatterns.h"
#include "shared/RunStatus.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QtTest>

using namespace norvex;
using namespace norvex::testing;
using config::Prompter;
using config::TJobEditor;
using Fields = QMap<QString, QString>;

namespace {

Fields sftpJob(const QString &name)
{
    return {{"backupname", name},
            {"backuplist", "/data/a"},
            {"tobackup", "SFTP"},
            {"hostname", "sftp.example"},
            {"port", "2222"},
            {"username", "alice"},
            {"password", "pw1"},
            {"keyfile", "/keys/id.ppk"},
            {"backupint", "3"},
            {"backuptani", "h"},
            {"backupdt", "2024/06/01 05:00:00"},
            {"op1", "-1"},
            {"op1val", "sub"},
            {"op2", "-1"},
            {"op2val", "zpw"},
            {"op3", "-1"},
            {"op3val", "5"},
            {"op4", "1"}};
}

void storeJob(const QString &folder, const Fields &fields)
{
    shared::TMlb2 table;
    const auto result =
        shared::appendJobToFile(table, shared::jobTablePath(folder), [&](shared::TMlb2 &job) {
            for (auto it = fields.cbegin(); it != fields.cend(); ++it)
                job.SetFieldByName(it.key(), it.value());
        });
    QCOMPARE(result, shared::JobFileResult::Saved);
}

// A program whose job table is loaded from its folder, as the job list leaves it.
struct Setup
{
    explicit Setup(const QString &name) : folder(freshInstallFolder(name)), program(folder) {}
    void load() { program.jobs.LoadFromFile(shared::jobTablePath(folder)); }
    QString folder;
    TestProgram program;
};

// The change page showing job `number`, as the job list's edit action leaves it.
void openChange(Setup &s, TJobEditor &page, int number)
{
    s.load();
    s.program.editedJob = number;
    page.showAction();
}

// Everything required, for an SFTP job.
void fillRequired(TJobEditor &page, bool change = false)
{
    input<QLineEdit>(page, "EdtBackUpName", change)->setText(QStringLiteral("job1"));
    page.acceptSelection({QStringLiteral("/data/a")});
    input<QComboBox>(page, "CmbToBackUp", change)->setCurrentIndex(0);
    input<QLineEdit>(page, "EdtSFTPHost", change)->setText(QStringLiteral("h"));
    input<QLineEdit>(page, "EdtSFTPUser", change)->setText(QStringLiteral("u"));
    input<QLineEdit>(page, "EdtSFTPPass", change)->setText(QStringLiteral("p"));
}

// The change page showing job `number`, or the add page with everything required filled.
void openFilled(Setup &s, TJobEditor &page, bool change, int number)
{
    if (change) {
        openChange(s, page, number);
        return;
    }
    s.load();
    page.showAction();
    fillRequired(page);
}

void pressOk(TJobEditor &page, bool change = false)
{
    QPushButton *ok = input<QPushButton>(page, "BotOk", change);
    QVERIFY(ok->isVisible() && ok->isEnabled());
    QTest::mouseClick(ok, Qt::LeftButton);
}

} // namespace

class JobEditorTest : public QObject
{
    Q_OBJECT

private slots:
    void addPageDefaults();
    void validationStopsAtFirstFailure_data();
    void validationStopsAtFirstFailure();
    void duplicateNames_data();
    void duplicateNames();
    void archiveFormatRule();
    void startTimeRule_data();
    void startTimeRule();
    void addWritesEveryFieldAndChangeShowsThem();
    void changeToLocalKeepsServerFieldsAndServiceTimes();
    void changeKeepsTheFilesNextRunTimeUntilTheStartIsEdited_data();
    void changeKeepsTheFilesNextRunTimeUntilTheStartIsEdited();
    void refusedOrFailedSavesKeepThePage_data();
    void refusedOrFailedSavesKeepThePage();
    void browseButtonsFillTheirPage();
    void ftpChoicesShownAndSaved_data();
    void ftpChoicesShownAndSaved();
    void oldTableGainsFtpColumnsOnlyWithAnFtpJob_data();
    void oldTableGainsFtpColumnsOnlyWithAnFtpJob();
    void excludesSavedAndShownAgain_data();
    void excludesSavedAndShownAgain();
    void malformedExcludeIsRefused();
};

void JobEditorTest::addPageDefaults()
{
    Setup s(QStringLiteral("defaults"));
    TJobEditor page(s.program, false);
    page.show();
    QCOMPARE(page.objectName(), QStringLiteral("TabAddBackUp"));
    // Every input has its caption as buddy or an accessible name.
    QSet<QWidget *> captioned;
    for (QLabel *label : page.findChildren<QLabel *>())
        captioned << label->buddy();
    int inputs = 0;
    for (QWidget *w : page.findChildren<QWidget *>()) {
        if (!QRegularExpression(QStringLiteral("^(Edt|Spn|Cmb|Mem|Pic)"))
                 .match(w->objectName())
                 .hasMatch())
            continue;
        ++inputs;
        QVERIFY2(captioned.contains(w) || !w->accessibleName().isEmpty(),
                 qPrintable(w->objectName()));
    }
    QCOMPARE(inputs, 23);
    // Typed values are gone after the next show; the interval carries over.
    fillRequired(page);
    input<QSpinBox>(page, "SpnIntVal")->setValue(4);
    input<QSpinBox>(page, "SpnFTPPort")->setValue(2121);
    input<QPlainTextEdit>(page, "MemExclude")->setPlainText(QStringLiteral("*.tmp"));
    page.showAction();
    QVERIFY(input<QPlainTextEdit>(page, "MemExclude")->toPlainText().isEmpty());

    QVERIFY(input<QLineEdit>(page, "EdtBackUpName")->text().isEmpty());
    QCOMPARE(input<QLineEdit>(page, "EdtBackUpName")->maxLength(), 32);
    QCOMPARE(page.sourceList(), QStringList());
    QVERIFY(input<QPushButton>(page, "BotSelect1")->isVisible());
    QVERIFY(!input<QPushButton>(page, "BotSelect2")->isVisible());
    QCOMPARE(input<QComboBox>(page, "CmbToBackUp")->currentText(),
             QStringLiteral("SFTPサーバへバックアップ"));
    QVERIFY(input<QLineEdit>(page, "EdtSFTPHost")->isVisible());
    QVERIFY(!input<QLineEdit>(page, "EdtFTPHost")->isVisible());
    QVERIFY(input<QLineEdit>(page, "EdtSFTPHost")->text().isEmpty());
    QCOMPARE(input<QSpinBox>(page, "SpnSFTPPort")->value(), 22);
    QCOMPARE(input<QSpinBox>(page, "SpnFTPPort")->value(), 21);
    QCOMPARE(input<QLineEdit>(page, "EdtSFTPPass")->echoMode(), QLineEdit::Password);
    QCOMPARE(input<QSpinBox>(page, "SpnIntVal")->value(), 4);
    QCOMPARE(input<QSpinBox>(page, "SpnIntVal")->maximum(), 23);
    QCOMPARE(input<QComboBox>(page, "CmbTani")->currentText(), QStringLiteral("日"));
    QVERIFY(!input<QCheckBox>(page, "ChkCreateFolder")->isChecked());
    QVERIFY(!input<QLineEdit>(page, "EdtCreateFolder")->isEnabled());
    QVERIFY(!input<QCheckBox>(page, "ChkArcPass")->isEnabled());
    QCOMPARE(input<QSpinBox>(page, "SpnSedaiNum")->value(), 2);
    QVERIFY(input<QRadioButton>(page, "RdoArchiveZip")->isChecked());
    QCOMPARE(input<QComboBox>(page, "CmbFTPMode")->currentText(), QStringLiteral("パッシブ"));
    QCOMPARE(input<QComboBox>(page, "CmbFTPSecurity")->currentText(), QStringLiteral("なし"));

    // Choosing a kind shows its inputs only; an option's input follows its check box.
    input<QComboBox>(page, "CmbToBackUp")->setCurrentIndex(2);
    QVERIFY(input<QLineEdit>(page, "EdtSaveFolder")->isVisible());
    QVERIFY(!input<QLineEdit>(page, "EdtSFTPHost")->isVisible());
    input<QCheckBox>(page, "ChkCreateFolder")->click();
    input<QLineEdit>(page, "EdtCreateFolder")->setText(QStringLiteral("keep"));
    input<QCheckBox>(page, "ChkCreateFolder")->click();
    QVERIFY(!input<QLineEdit>(page, "EdtCreateFolder")->isEnabled());
    QCOMPARE(input<QLineEdit>(page, "EdtCreateFolder")->text(), QStringLiteral("keep"));
}

void JobEditorTest::validationStopsAtFirstFailure_data()
{
    QTest::addColumn<bool>("change");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("empty"); // the input emptied, or a special case
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("focus");
    for (bool change : {false, true}) {
        const char *page = change ? "change " : "add ";
        auto row = [&](const char *tag, int kind, const char *empty, const char *message,
                       const char *focus) {
            QTest::newRow(qPrintable(QString::fromLatin1(page) + QString::fromLatin1(tag)))
                << change << kind << QString::fromLatin1(empty) << QString::fromUtf8(message)
                << QString::fromLatin1(focus);
        };
        row("name", 0, "EdtBackUpName", "バックアップ名称は必須項目です。", "EdtBackUpName");
        row("unsafe /", 0, "slash", "バックアップ名称に「/」や制御文字は使用できません。",
            "EdtBackUpName");
        row("unsafe tab", 0, "tab", "バックアップ名称に「/」や制御文字は使用できません。",
            "EdtBackUpName");
        row("another job's generation name", 0, "suffix",
            "バックアップ名称の末尾に「-数字-」（例：「-1-」）は使用できません。", "EdtBackUpName");
        row("sources", 0, "sources", "バックアップ対象フォルダ、ファイルが選択されていません。",
            "");
        row("sftp host", 0, "EdtSFTPHost", "ホスト名は必須項目です。", "EdtSFTPHost");
        row("sftp user", 0, "EdtSFTPUser", "ユーザ名は必須項目です。", "EdtSFTPUser");
        row("sftp password with key", 0, "EdtSFTPPass", "パスワードは必須項目です。",
            "EdtSFTPPass");
        row("ftp host", 1, "EdtFTPHost", "ホスト名は必須項目です。", "EdtFTPHost");
        row("ftp user", 1, "EdtFTPUser", "ユーザ名は必須項目です。", "EdtFTPUser");
        row("ftp password", 1, "EdtFTPPass", "パスワードは必須項目です。", "EdtFTPPass");
        row("local folder", 2, "EdtSaveFolder", "バックアップ保存先フォルダを選択してください。",
            "EdtSaveFolder");
        row("folder name", 2, "EdtCreateFolder", "作成するフォルダ名を入力してください。",
            "EdtCreateFolder");
        row("archive password", 2, "EdtArcPass", "圧縮時パスワードを入力してください。",
            "EdtArcPass");
    }
}

void JobEditorTest::validationStopsAtFirstFailure()
{
    QFETCH(bool, change);
    QFETCH(int, kind);
    QFETCH(QString, empty);
    QFETCH(QString, message);
    QFETCH(QString, focus);
    Setup s(QStringLiteral("validation"));
    storeJob(s.folder, sftpJob(QStringLiteral("stored")));
    TJobEditor page(s.program, change);
    page.show();
    if (change)
        openChange(s, page, 1);
    else
        page.showAction();
    // Every input filled; later checks' inputs stay filled, so only `empty` can fail.
    fillRequired(page, change);
    input<QLineEdit>(page, "EdtSFTPKey", change)->setText(QStringLiteral("/keys/id.ppk"));
    for (const char *base : {"EdtFTPHost", "EdtFTPUser", "EdtFTPPass", "EdtSaveFolder",
                             "EdtCreateFolder", "EdtArcPass"})
        input<QLineEdit>(page, base, change)->setText(QStringLiteral("x"));
    input<QRadioButton>(page, "RdoArchive7z", change)->click();
    for (const char *base : {"ChkCreateFolder", "ChkArcPass"})
        input<QCheckBox>(page, base, change)->setChecked(true);
    input<QComboBox>(page, "CmbToBackUp", change)->setCurrentIndex(kind);
    // The failing input and every one checked after it are emptied: the first one counts.
    static const QStringList order = {
        "EdtBackUpName",   "slash",       "tab",        "suffix",     "sources",    "EdtSFTPHost",
        "EdtSFTPUser",     "EdtSFTPPass", "EdtFTPHost", "EdtFTPUser", "EdtFTPPass", "EdtSaveFolder",
        "EdtCreateFolder", "EdtArcPass"};
    for (qsizetype i = order.indexOf(empty); i < order.size(); ++i) {
        if (order[i] == QLatin1String("sources"))
            page.acceptSelection({});
        else if (order[i].startsWith(QLatin1String("Edt")))
            input<QLineEdit>(page, qPrintable(order[i]), change)->clear();
    }
    QLineEdit *name = input<QLineEdit>(page, "EdtBackUpName", change);
    if (empty == QLatin1String("slash"))
        name->setText(QStringLiteral("a/b"));
    else if (empty == QLatin1String("tab"))
        name->setText(QStringLiteral("a\tb"));
    else if (empty == QLatin1String("suffix"))
        name->setText(QStringLiteral("job-1-"));
    const QByteArray before = loadJobFile(s.folder).SaveToData();

    pressOk(page, change);
    QCOMPARE(s.program.prompts.texts(), QStringList{message});
    if (!focus.isEmpty())
        QCOMPARE(page.focusWidget(), input<QWidget>(page, qPrintable(focus), change));
    QCOMPARE(loadJobFile(s.folder).SaveToData(), before);
    QVERIFY(s.program.navigation.isEmpty());
    QVERIFY(s.program.prompts.unexpected.isEmpty());
}

void JobEditorTest::duplicateNames_data()
{
    QTest::addColumn<bool>("change");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("refused");
    QTest::addColumn<bool>("meanwhile"); // another writer adds "third" after the page loaded
    QTest::newRow("add: first job's name") << false << "first" << true << false;
    QTest::newRow("add: another job's name") << false << "second" << true << false;
    QTest::newRow("add: name differs in case") << false << "First" << false << false;
    QTest::newRow("change: own name kept") << true << "second" << false << false;
    QTest::newRow("change: other job's name") << true << "first" << true << false;
    QTest::newRow("add: name added meanwhile") << false << "third" << true << true;
    QTest::newRow("change: renamed to a name added meanwhile") << true << "third" << true << true;
}

void JobEditorTest::duplicateNames()
{
    QFETCH(bool, change);
    QFETCH(QString, name);
    QFETCH(bool, refused);
    QFETCH(bool, meanwhile);
    Setup s(QStringLiteral("duplicates"));
    storeJob(s.folder, sftpJob(QStringLiteral("first")));
    storeJob(s.folder, sftpJob(QStringLiteral("second")));
    TJobEditor page(s.program, change);
    page.show();
    openFilled(s, page, change, 2);
    input<QLineEdit>(page, "EdtBackUpName", change)->setText(name);
    if (meanwhile)
        storeJob(s.folder, sftpJob(QStringLiteral("third")));
    if (!refused || meanwhile)
        s.program.prompts.answers.enqueue(true); // only the save finds the name taken
    const QByteArray before = loadJobFile(s.folder).SaveToData();
    pressOk(page, change);
    if (refused) {
        QCOMPARE(s.program.prompts.lastText(),
                 QStringLiteral("同じバックアップ名称がすでに存在します。"));
        QCOMPARE(s.program.prompts.texts().size(), meanwhile ? 2 : 1);
        QCOMPARE(page.focusWidget(), input<QWidget>(page, "EdtBackUpName", change));
        QCOMPARE(loadJobFile(s.folder).SaveToData(), before);
        QVERIFY(s.program.navigation.isEmpty());
    } else {
        QCOMPARE(s.program.navigation,
                 QStringList{change ? QStringLiteral("list 1") : QStringLiteral("list -1")});
        QCOMPARE(jobField(s.folder, change ? 2 : 3, QStringLiteral("backupname")), name);
    }
}

void JobEditorTest::archiveFormatRule()
{
    Setup s(QStringLiteral("format"));
    storeJob(s.folder, sftpJob(QStringLiteral("sevenzip")));
    TJobEditor page(s.program, true);
    page.show();
    openChange(s, page, 1);
    // A stored 7z job shows its password.
    QCheckBox *on = input<QCheckBox>(page, "ChkArcPass", true);
    QLineEdit *password = input<QLineEdit>(page, "EdtArcPass", true);
    QVERIFY(input<QRadioButton>(page, "RdoArchive7z", true)->isChecked());
    QVERIFY(on->isEnabled() && on->isChecked());
    QCOMPARE(password->text(), QStringLiteral("zpw"));
    // ZIP unticks, disables and empties; 7z enables the box again, unticked.
    input<QRadioButton>(page, "RdoArchiveZip", true)->click();
    QVERIFY(!on->isEnabled() && !on->isChecked() && !password->isEnabled());
    QVERIFY(password->text().isEmpty());
    input<QRadioButton>(page, "RdoArchive7z", true)->click();
    QVERIFY(on->isEnabled() && !on->isChecked());
    input<QRadioButton>(page, "RdoArchiveZip", true)->click();
    s.program.prompts.answers.enqueue(true);
    pressOk(page, true);
    QCOMPARE(jobField(s.folder, 1, QStringLiteral("op2")), QStringLiteral("0"));
    QCOMPARE(jobField(s.folder, 1, QStringLiteral("op2val")), QString());
    QCOMPARE(jobField(s.folder, 1, QStringLiteral("op4")), QStringLiteral("0"));
}

void JobEditorTest::startTimeRule_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("unit");
    QTest::addColumn<QDateTime>("now");
    QTest::addColumn<QString>("expected");
    QTest::newRow("5 hours") << 5 << "h" << QDateTime(QDate(2024, 5, 10), QTime(9, 41, 7))
                             << "2024/05/10 14:00:00";
    QTest::newRow("2 days") << 2 << "d" << QDateTime(QDate(2024, 5, 10), QTime(23, 30))
                            << "2024/05/12 04:00:00";
    QTest::newRow("hours past midnight")
        << 3 << "h" << QDateTime(QDate(2024, 12, 31), QTime(22, 15)) << "2025/01/01 01:00:00";
}

void JobEditorTest::startTimeRule()
{
    QFETCH(int, count);
    QFETCH(QString, unit);
    QFETCH(QDateTime, now);
    QFETCH(QString, expected);
    Setup s(QStringLiteral("starttime"));
    s.program.clockValue.set(now);
    TJobEditor page(s.program, false);
    page.show();
    page.showAction();
    fillRequired(page);
    QComboBox *tani = input<QComboBox>(page, "CmbTani");
    tani->setCurrentIndex(tani->findData(unit));
    input<QSpinBox>(page, "SpnIntVal")->setValue(count);
    QCOMPARE(input<QLineEdit>(page, "EdtBackUpDT")->text(), expected.left(10));
    QCOMPARE(input<QDateTimeEdit>(page, "PicTime")->text(), expected.mid(11));
    s.program.prompts.answers.enqueue(true);
    pressOk(page);
    QCOMPARE(jobField(s.folder, 1, QStringLiteral("backupdt")), expected);
    QCOMPARE(jobField(s.folder, 1, QStringLiteral("backupint")), QString::number(count));
    QCOMPARE(jobField(s.folder, 1, QStringLiteral("backuptani")), unit);
}

void JobEditorTest::addWritesEveryFieldAndChangeShowsThem()
{
    Setup s(QStringLiteral("roundtrip"));
    s.program.clockValue.set(QDateTime(QDate(2024, 5, 10), QTime(9, 41, 7)));
    TJobEditor add(s.program, false);
    add.show();
    add.showAction();
    const QStringList sources = {QStringLiteral("/home/u/My Documents"), QStringLiteral("/data"),
                                 QStringLiteral("/q\"x")};
    input<QLineEdit>(add, "EdtBackUpName")->setText(QStringLiteral("日次"));
    add.acceptSelection(sources);
    QVERIFY(input<QPushButton>(add, "BotSelect2")->isVisible());
    QVERIFY(!input<QPushButton>(add, "BotSelect1")->isVisible());
    input<QComboBox>(add, "CmbToBackUp")->setCurrentIndex(1);
    input<QLineEdit>(add, "EdtFTPHost")->setText(QStringLiteral("ftp.example"));
    input<QSpinBox>(add, "SpnFTPPort")->setValue(2121);
    input<QLineEdit>(add, "EdtFTPUser")->setText(QStringLiteral("bob"));
    input<QLineEdit>(add, "EdtFTPPass")->setText(QStringLiteral("p,\"w"));
    input<QCheckBox>(add, "ChkCreateFolder")->click();
    input<QLineEdit>(add, "EdtCreateFolder")->setText(QStringLiteral("sub"));
    input<QCheckBox>(add, "ChkSedai")->click();
    input<QSpinBox>(add, "SpnSedaiNum")->setValue(7);
    input<QRadioButton>(add, "RdoArchive7z")->click();
    input<QCheckBox>(add, "ChkArcPass")->click();
    input<QLineEdit>(add, "EdtArcPass")->setText(QStringLiteral("zip pw"));
    input<QDateTimeEdit>(add, "PicTime")->setTime(QTime(6, 30));
    s.program.prompts.answers.enqueue(true);
    pressOk(add);
    QCOMPARE(s.program.prompts.texts(),
             QStringList{QStringLiteral(
                 "入力された内容でバックアップ取得一覧に追加します。\r\nよろしいですか？")});

    QFile file(shared::jobTablePath(s.folder));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll().contains("\"\"\"/home/u/My Documents\"\" /data \"\"/q\"\"\"\"x\"\"\""));
    const Fields expected = {{"backupname", "日次"},
                             {"tobackup", "FTP"},
                             {"hostname", "ftp.example"},
                             {"port", "2121"},
                             {"username", "bob"},
                             {"password", "p,\"w"},
                             {"keyfile", ""},
                             {"localbackupdir", ""},
                             {"backupint", "1"},
                             {"backuptani", "d"},
                             {"backupdt", "2024/05/11 06:30:00"},
                             {"op1", "-1"},
                             {"op1val", "sub"},
                             {"op2", "-1"},
                             {"op2val", "zip pw"},
                             {"op3", "-1"},
                             {"op3val", "7"},
                             {"op4", "1"},
                             {"ftpmode", "passive"},
                             {"ftpsecurity", "none"}};
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        QCOMPARE(jobField(s.folder, 1, it.key()), it.value());

    TJobEditor change(s.program, true);
    change.show();
    openChange(s, change, 1);
    QCOMPARE(change.objectName(), QStringLiteral("TabEditBackUp"));
    QCOMPARE(change.sourceList(), sources);
    QVERIFY(input<QPushButton>(change, "BotSelect2", true)->isVisible());
    QVERIFY(input<QLineEdit>(change, "EdtFTPHost", true)->isVisible());
    QCOMPARE(input<QLineEdit>(change, "EdtBackUpDT", true)->text(), QStringLiteral("2024/05/11"));
    // Saved unchanged, the job reads exactly as before: every value was shown as stored.
    const QByteArray before = loadJobFile(s.folder).SaveToData();
    s.program.prompts.answers.enqueue(true);
    pressOk(change, true);
    QCOMPARE(s.program.prompts.lastText(),
             QStringLiteral("入力された内容でバックアップ内容を変更します。\r\nよろしいですか？"));
    QCOMPARE(loadJobFile(s.folder).SaveToData(), before);
}

void JobEditorTest::changeToLocalKeepsServerFieldsAndServiceTimes()
{
    Setup s(QStringLiteral("tolocal"));
    storeJob(s.folder, sftpJob(QStringLiteral("one")));
    storeJob(s.folder, sftpJob(QStringLiteral("two")));
    TJobEditor page(s.program, true);
    page.show();
    openChange(s, page, 1);
    // The service finishes job "two" while the page is open and saves its next run time.
    shared::TMlb2 service = loadJobFile(s.folder);
    service.GoToRecord(2);
    service.SetFieldByName(QStringLiteral("backupdt"), QStringLiteral("2024/06/02 05:00:00"));
    QVERIFY(service.SaveToFile(shared::jobTablePath(s.folder)));

    input<QComboBox>(page, "CmbToBackUp", true)->setCurrentIndex(2);
    input<QLineEdit>(page, "EdtSaveFolder", true)->setText(QStringLiteral("/mnt/backup"));
    s.program.prompts.answers.enqueue(true);
    pressOk(page, true);
    QCOMPARE(s.program.navigation, QStringList{QStringLiteral("list 0")});
    const Fields stored = sftpJob(QStringLiteral("one"));
    for (const char *field : {"hostname", "port", "username", "password", "keyfile"})
        QCOMPARE(jobField(s.folder, 1, QString::fromLatin1(field)),
                 stored.value(QString::fromLatin1(field)));
    QCOMPARE(jobField(s.folder, 1, QStringLiteral("tobackup")), QStringLiteral("Local"));
    QCOMPARE(jobField(s.folder, 1, QStringLiteral("localbackupdir")),
             QStringLiteral("/mnt/backup"));
    QCOMPARE(jobField(s.folder, 2, QStringLiteral("backupdt")),
             QStringLiteral("2024/06/02 05:00:00"));
}

void JobEditorTest::changeKeepsTheFilesNextRunTimeUntilTheStartIsEdited_data()
{
    QTest::addColumn<QString>("edit");
    QTest::addColumn<QString>("written");
    // Loaded 2024/06/01 05:00:00 (3 h); the service saves 08:00:00 while the page is open.
    QTest::newRow("start untouched") << ""
                                     << "2024/06/01 08:00:00";
    QTest::newRow("time edited and put back") << "back"
                                              << "2024/06/01 08:00:00";
    QTest::newRow("time edited") << "time"
                                 << "2024/06/01 06:30:00";
    QTest::newRow("interval changed") << "interval"
                                      << "2024/05/10 14:00:00";
}

void JobEditorTest::changeKeepsTheFilesNextRunTimeUntilTheStartIsEdited()
{
    QFETCH(QString, edit);
    QFETCH(QString, written);
    Setup s(QStringLiteral("keepdt"));
    storeJob(s.folder, sftpJob(QStringLiteral("one")));
    s.program.clockValue.set(QDateTime(QDate(2024, 5, 10), QTime(9, 41, 7)));
    // A service that is not installed runs nothing: no refusal.
    s.program.stateError = platform::ServiceErrorCode::NotInstalled;
    TJobEditor page(s.program, true);
    page.show();
    openChange(s, page, 1);
    shared::TMlb2 service;
    QCOMPARE(shared::changeJobInFile(
                 service, shared::jobTablePath(s.folder), 1, QStringLiteral("one"),
                 [](shared::TMlb2 &job) {
                     job.SetFieldByName(QStringLiteral("backupdt"), "2024/06/01 08:00:00");
                 }),
             shared::JobFileResult::Saved);
    QDateTimeEdit *time = input<QDateTimeEdit>(page, "PicTime", true);
    if (edit == QLatin1String("time") || edit == QLatin1String("back"))
        time->setTime(QTime(6, 30));
    if (edit == QLatin1String("back"))
        time->setTime(QTime(5, 0));
    if (edit == QLatin1String("interval"))
        input<QSpinBox>(page, "SpnIntVal", true)->setValue(5);
    input<QLineEdit>(page, "EdtFTPHost", true)->setText(QStringLiteral("other")); // unused kind
    input<QLineEdit>(page, "EdtCreateFolder", true)->setText(QStringLiteral("renamed"));
    s.program.prompts.answers.enqueue(true);
    pressOk(page, true);
    QCOMPARE(s.program.navigation, QStringList{QStringLiteral("list 0")});
    QCOMPARE(jobField(s.folder, 1, QStringLiteral("backupdt")), written);
    QCOMPARE(jobField(s.folder, 1, QStringLiteral("op1val")), QStringLiteral("renamed"));
}

void JobEditorTest::refusedOrFailedSavesKeepThePage_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("message");
    QTest::newRow("backup in progress") << "running"
                                        << "バックアップ処理を開始したため設定追加はできません。";
    // A retry runs while the next run time lies ahead; only the run status record tells.
    QTest::newRow("retry running") << "retry"
                                   << "バックアップ処理を開始したため設定追加はできません。";
    QTest::newRow("service state unknown")
        << "stateError" << config::ESrvCtrlException(2).message();
    QTest::newRow("confirmation cancelled") << "cancel"
                                            << "よろしいですか？";
    QTest::newRow("job deleted meanwhile") << "deleted"
                                           << "変更は保存されませんでした。";
    QTest::newRow("table cannot be read") << "unreadable"
                                          << "backuplist.csv";
}

void JobEditorTest::refusedOrFailedSavesKeepThePage()
{
    QFETCH(QString, fault);
    QFETCH(QString, message);
    Setup s(QStringLiteral("refused"));
    storeJob(s.folder, sftpJob(QStringLiteral("one")));
    TJobEditor page(s.program, true);
    page.show();
    openChange(s, page, 1);
    input<QLineEdit>(page, "EdtSFTPHost", true)->setText(QStringLiteral("edited"));
    const QString path = shared::jobTablePath(s.folder);
    if (fault == QLatin1String("running")) {
        s.program.serviceState = 3;
        s.program.clockValue.set(QDateTime(QDate(2024, 6, 1), QTime(5, 0, 1)));
    } else if (fault == QLatin1String("retry")) {
        s.program.serviceState = 3;
        shared::RunStatusRecord record;
        record.servicePid = QCoreApplication::applicationPid();
        shared::JobStatus run;
        run.position = 1;
        run.backupName = QStringLiteral("one");
        run.running = shared::RunProgress{};
        run.running->attempt = 1;
        record.jobs.push_back(run);
        QVERIFY(shared::writeRunStatus(s.folder, record, false));
    } else if (fault == QLatin1String("stateError")) {
        s.program.stateError = 2;
    } else if (fault == QLatin1String("cancel")) {
        s.program.prompts.answers.enqueue(false);
    } else if (fault == QLatin1String("deleted")) {
        shared::TMlb2 other = loadJobFile(s.folder);
        other.DeleteRecord(1);
        QVERIFY(other.SaveToFile(path));
    } else {
        QVERIFY(QFile::remove(path));
        QVERIFY(QDir().mkdir(path));
    }
    if (fault == QLatin1String("deleted") || fault == QLatin1String("unreadable"))
        s.program.prompts.answers.enqueue(true);
    const QByteArray before = loadJobFile(s.folder).SaveToData();
    pressOk(page, true);
    QVERIFY(s.program.prompts.lastText().contains(message));
    if (fault == QLatin1String("stateError"))
        QCOMPARE(s.program.prompts.shown.last().kind, Prompter::Kind::Error);
    // An unknown service state locks, as on the job list.
    QCOMPARE(s.program.backupInProgress(), fault == QLatin1String("running") ||
                                               fault == QLatin1String("retry") ||
                                               fault == QLatin1String("stateError"));
    QVERIFY(s.program.navigation.isEmpty());
    QCOMPARE(loadJobFile(s.folder).SaveToData(), before);
    QCOMPARE(input<QLineEdit>(page, "EdtSFTPHost", true)->text(), QStringLiteral("edited"));
}

void JobEditorTest::browseButtonsFillTheirPage()
{
    Setup s(QStringLiteral("browse"));
    TJobEditor add(s.program, false);
    TJobEditor change(s.program, true);
    s.program.prompts.fileNames << QStringLiteral("/keys/k.ppk") << QStringLiteral("/mnt/usb");
    input<QPushButton>(change, "BotSFTPKey", true)->click();
    input<QPushButton>(change, "BotSaveFolder", true)->click();
    QCOMPARE(input<QLineEdit>(change, "EdtSFTPKey", true)->text(), QStringLiteral("/keys/k.ppk"));
    QCOMPARE(input<QLineEdit>(change, "EdtSaveFolder", true)->text(), QStringLiteral("/mnt/usb"));
    QVERIFY(input<QLineEdit>(add, "EdtSaveFolder")->text().isEmpty());
    QCOMPARE(s.program.prompts.dialogTitles,
             (QStringList{QStringLiteral("秘密鍵の選択|Putty秘密鍵(*.ppk);;全てのファイル(*)"),
                          QStringLiteral("フォルダーの選択")}));
}

void JobEditorTest::ftpChoicesShownAndSaved_data()
{
    QTest::addColumn<QString>("mode");     // stored ftpmode; "-" for a table without the column
    QTest::addColumn<QString>("security"); // stored ftpsecurity
    QTest::addColumn<QString>("shownMode");
    QTest::addColumn<QString>("shownSecurity");
    QTest::addColumn<QString>("warning"); // part of the message the change page shows
    QTest::addColumn<QString>("savedMode");
    QTest::addColumn<QString>("savedSecurity");
    const QString active = QStringLiteral("アクティブ"), passive = QStringLiteral("パッシブ");
    const QString none = QStringLiteral("なし"), tls = QStringLiteral("明示的 TLS (FTPS)");
    QTest::newRow("19-field table") << "-"
                                    << "-" << active << none << ""
                                    << "active"
                                    << "none";
    QTest::newRow("empty fields") << ""
                                  << "" << active << none << ""
                                  << "active"
                                  << "none";
    QTest::newRow("passive with TLS") << "passive"
                                      << "tls" << passive << tls << ""
                                      << "passive"
                                      << "tls";
    QTest::newRow("active, none") << "active"
                                  << "none" << active << none << ""
                                  << "active"
                                  << "none";
    // What the page cannot read is shown as the choice that keeps the job working and never
    // turns encryption off when it is saved.
    QTest::newRow("unknown mode") << "epsv"
                                  << "none" << passive << none << "ftpmode 「epsv」"
                                  << "passive"
                                  << "none";
    QTest::newRow("unknown security") << "active"
                                      << "SSL" << active << tls << "ftpsecurity 「SSL」"
                                      << "active"
                                      << "tls";
}

void JobEditorTest::ftpChoicesShownAndSaved()
{
    QFETCH(QString, mode);
    QFETCH(QString, security);
    QFETCH(QString, shownMode);
    QFETCH(QString, shownSecurity);
    QFETCH(QString, warning);
    QFETCH(QString, savedMode);
    QFETCH(QString, savedSecurity);
    Setup s(QStringLiteral("ftpchoices"));
    Fields job = sftpJob(QStringLiteral("ftp"));
    job[QStringLiteral("tobackup")] = QStringLiteral("FTP");
    storeJob(s.folder, job);
    if (mode != QLatin1String("-")) {
        shared::TMlb2 table = loadJobFile(s.folder);
        table.GoToRecord(1);
        QVERIFY(shared::setJobField(table, QStringLiteral("ftpmode"), mode));
        QVERIFY(shared::setJobField(table, QStringLiteral("ftpsecurity"), security));
        QVERIFY(table.SaveToFile(shared::jobTablePath(s.folder)));
    }
    TJobEditor page(s.program, true);
    page.show();
    openChange(s, page, 1);
    QVERIFY(input<QComboBox>(page, "CmbFTPMode", true)->isVisible());
    QCOMPARE(input<QComboBox>(page, "CmbFTPMode", true)->currentText(), shownMode);
    QCOMPARE(input<QComboBox>(page, "CmbFTPSecurity", true)->currentText(), shownSecurity);
    if (warning.isEmpty()) {
        QCOMPARE(s.program.prompts.texts(), QStringList());
    } else {
        QCOMPARE(s.program.prompts.shown.size(), 1);
        QVERIFY2(s.program.prompts.lastText().contains(warning),
                 qPrintable(s.program.prompts.lastText()));
    }
    s.program.prompts.answers.enqueue(true);
    pressOk(page, true);
    QCOMPARE(s.program.navigation, QStringList{QStringLiteral("list 0")});
    QCOMPARE(jobField(s.folder, 1, QStringLiteral("ftpmode")), savedMode);
    QCOMPARE(jobField(s.folder, 1, QStringLiteral("ftpsecurity")), savedSecurity);

    // What the user picks is what the next load shows.
    input<QComboBox>(page, "CmbFTPMode", true)
        ->setCurrentIndex(savedMode == QLatin1String("passive"));
    input<QComboBox>(page, "CmbFTPSecurity", true)->setCurrentIndex(1);
    s.program.prompts.answers.enqueue(true);
    pressOk(page, true);
    QCOMPARE(jobField(s.folder, 1, QStringLiteral("ftpmode")), savedMode == QLatin1String("passive")
                                                                   ? QStringLiteral("active")
                                                                   : QStringLiteral("passive"));
    QCOMPARE(jobField(s.folder, 1, QStringLiteral("ftpsecurity")), QStringLiteral("tls"));
}

void JobEditorTest::oldTableGainsFtpColumnsOnlyWithAnFtpJob_data()
{
    QTest::addColumn<bool>("change"); // the change page saves job 1, else the add page a third
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("fields");
    for (bool change : {false, true}) {
        const char *page = change ? "change" : "add";
        QTest::addRow("%s SFTP", page) << change << 0 << 19;
        QTest::addRow("%s FTP", page) << change << 1 << 21;
        QTest::addRow("%s Local", page) << change << 2 << 19;
    }
}

void JobEditorTest::oldTableGainsFtpColumnsOnlyWithAnFtpJob()
{
    QFETCH(bool, change);
    QFETCH(int, kind);
    QFETCH(int, fields);
    Setup s(QStringLiteral("oldtable"));
    storeJob(s.folder, sftpJob(QStringLiteral("one")));
    Fields ftp = sftpJob(QStringLiteral("two"));
    ftp[QStringLiteral("tobackup")] = QStringLiteral("FTP");
    storeJob(s.folder, ftp);
    QCOMPARE(loadJobFile(s.folder).FieldCount(), 19);
    const shared::TMlb2 before = loadJobFile(s.folder);

    TJobEditor page(s.program, change);
    page.show();
    if (change) {
        openChange(s, page, 1);
    } else {
        s.load();
        page.showAction();
        fillRequired(page);
        input<QLineEdit>(page, "EdtBackUpName")->setText(QStringLiteral("three"));
    }
    input<QComboBox>(page, "CmbToBackUp", change)->setCurrentIndex(kind);
    input<QLineEdit>(page, "EdtFTPHost", change)->setText(QStringLiteral("f"));
    input<QLineEdit>(page, "EdtFTPUser", change)->setText(QStringLiteral("u"));
    input<QLineEdit>(page, "EdtFTPPass", change)->setText(QStringLiteral("p"));
    input<QLineEdit>(page, "EdtSaveFolder", change)->setText(QStringLiteral("/mnt"));
    s.program.prompts.answers.enqueue(true);
    pressOk(page, change);
    QCOMPARE(s.program.prompts.unexpected, QStringList());
    QCOMPARE(s.program.navigation.size(), 1);

    shared::TMlb2 after = loadJobFile(s.folder);
    QCOMPARE(after.FieldCount(), fields);
    QCOMPARE(after.RecordCount(), change ? 2 : 3);
    // The other jobs keep every value; an FTP job stored before the columns existed reads
    // as it always ran: active, without TLS.
    const QStringList names = shared::jobFieldNames();
    for (int record = change ? 2 : 1; record <= 2; ++record)
        for (int field = 1; field <= 19; ++field)
            QCOMPARE(after.Cell(after.FieldPosition(names[field - 1]), record),
                     before.Cell(field, record));
    after.GoToRecord(2);
    QCOMPARE(shared::readFtpMode(after.FieldByName(QStringLiteral("ftpmode"))),
             shared::FtpDataMode::Active);
    QCOMPARE(shared::readFtpSecurity(after.FieldByName(QStringLiteral("ftpsecurity"))),
             shared::FtpSecurity::None);
    after.GoToRecord(change ? 1 : 3);
    QCOMPARE(after.FieldByName(QStringLiteral("ftpmode")),
             kind == 1 ? QStringLiteral("passive") : QString());
    QCOMPARE(after.FieldByName(QStringLiteral("tobackup")),
             QStringList({"SFTP", "FTP", "Local"})[kind]);
}

void JobEditorTest::excludesSavedAndShownAgain_data()
{
    QTest::addColumn<bool>("change");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("patterns");
    QTest::addColumn<int>("fields"); // an old table keeps 19 until a job has patterns
    const QString some = QStringLiteral("node_modules/\n\n  *.tmp\nmy \"old\", files/\n");
    const QStringList stored = {QStringLiteral("node_modules/"), QStringLiteral("  *.tmp"),
                                QStringLiteral("my \"old\", files/")};
    for (bool change : {false, true}) {
        const char *page = change ? "change" : "add";
        QTest::addRow("%s none", page) << change << QString() << QStringList() << 19;
        QTest::addRow("%s blank lines", page)
            << change << QStringLiteral(" \n\n") << QStringList() << 19;
        QTest::addRow("%s some", page) << change << some << stored << 20;
    }
}

void JobEditorTest::excludesSavedAndShownAgain()
{
    QFETCH(bool, change);
    QFETCH(QString, text);
    QFETCH(QStringList, patterns);
    QFETCH(int, fields);
    Setup s(QStringLiteral("excludes"));
    storeJob(s.folder, sftpJob(QStringLiteral("one")));
    TJobEditor page(s.program, change);
    page.show();
    openFilled(s, page, change, 1);
    auto *excludes = input<QPlainTextEdit>(page, "MemExclude", change);
    QVERIFY(excludes->isVisible());
    QCOMPARE(excludes->toPlainText(), QString());
    excludes->setPlainText(text);
    s.program.prompts.answers.enqueue(true);
    pressOk(page, change);
    QCOMPARE(s.program.prompts.unexpected, QStringList());
    QCOMPARE(s.program.navigation.size(), 1);

    shared::TMlb2 after = loadJobFile(s.folder);
    QCOMPARE(after.FieldCount(), fields);
    QVERIFY(after.GoToRecord(change ? 1 : 2));
    QCOMPARE(shared::decodeExcludes(after.FieldByName(QLatin1String(shared::ExcludeField))),
             patterns);

    // The change page shows them one a line; emptying them empties the stored field.
    TJobEditor changePage(s.program, true);
    changePage.show();
    openChange(s, changePage, change ? 1 : 2);
    auto *shown = input<QPlainTextEdit>(changePage, "MemExclude", true);
    QCOMPARE(shown->toPlainText(), patterns.join(QLatin1Char('\n')));
    if (patterns.isEmpty())
        return;
    shown->clear();
    s.program.prompts.answers.enqueue(true);
    pressOk(changePage, true);
    after = loadJobFile(s.folder);
    QCOMPARE(after.FieldCount(), 20);
    QVERIFY(after.GoToRecord(change ? 1 : 2));
    QCOMPARE(after.FieldByName(QLatin1String(shared::ExcludeField)), QString());
}

void JobEditorTest::malformedExcludeIsRefused()
{
    Setup s(QStringLiteral("badexclude"));
    TJobEditor page(s.program, false);
    page.show();
    s.load();
    page.showAction();
    fillRequired(page);
    auto *excludes = input<QPlainTextEdit>(page, "MemExclude");
    excludes->setPlainText(QStringLiteral("*.tmp\n *.[ch\n"));
    const QByteArray before = loadJobFile(s.folder).SaveToData();
    pressOk(page);
    QCOMPARE(
        s.program.prompts.texts(),
        QStringList{QStringLiteral("除外するファイル、フォルダの 2 行目「*.[ch」は使用できません。"
                                   "「[」に対応する「]」がありません。")});
    QCOMPARE(page.focusWidget(), excludes);
    QCOMPARE(loadJobFile(s.folder).SaveToData(), before);
    QVERIFY(s.program.navigation.isEmpty());
    // The caption names the input.
    bool captioned = false;
    for (const QLabel *label : page.findChildren<QLabel *>())
        captioned = captioned || (label->buddy() == excludes &&
                                  label->text() == QStringLiteral("除外するファイル、フォルダ"));
    QVERIFY(captioned);
}

QTEST_MAIN(JobEditorTest)
#include "JobEditorTest.moc"
