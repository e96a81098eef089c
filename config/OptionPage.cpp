#include "config/OptionPage.h"

#include "config/Heading.h"
#include "config/Program.h"
#include "config/Prompter.h"
#include "shared/IniFileCompo.h"
#include "shared/JobTable.h"
#include "shared/NotifyCommand.h"
#include "shared/Options.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QThread>
#include <QVBoxLayout>

namespace norvex::config {

namespace {

const QString Section = QString::fromLatin1(shared::OptionSection);
const QString Key = QStringLiteral("TmpFolder");

// An input with its caption in front, which names it for the keyboard and screen readers.
QLabel *caption(const QString &text, QWidget *input, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setBuddy(input);
    input->setAccessibleName(text);
    return label;
}

} // namespace

TOptionPage::TOptionPage(Program &program, QWidget *parent)
    : TPage(parent), m_program(program),
      m_check(new QCheckBox(QStringLiteral("一時保存先フォルダを指定する"), this)),
      m_group(new QGroupBox(QStringLiteral("保存先フォルダ"), this)),
      m_folder(new QLineEdit(m_group)), m_notifyCommand(new QLineEdit(this)),
      m_notifyTest(new QPushButton(QStringLiteral("テスト"), this)),
      m_retryCount(new QSpinBox(this)),
      m_verifyArchive(new QCheckBox(QStringLiteral("アーカイブを検査する"), this))
{
    setObjectName(QStringLiteral("TabOption"));
    m_check->setObjectName(QStringLiteral("ChkTmpFolder"));
    m_group->setObjectName(QStringLiteral("GrpTmpFolder"));
    m_folder->setObjectName(QStringLiteral("EdtTmpFolder"));
    // Filled only by the folder dialog, so the service never gets a mistyped path.
    m_folder->setReadOnly(true);
    m_folder->setAccessibleName(QStringLiteral("保存先フォルダ"));
    auto *browse = new QPushButton(QStringLiteral("参照..."), m_group);
    browse->setObjectName(QStringLiteral("BotTmpFolder"));
    auto *row = new QHBoxLayout(m_group);
    row->addWidget(m_folder, 1);
    row->addWidget(browse);
    m_group->setEnabled(false);
    connect(m_check, &QCheckBox::toggled, m_group, &QWidget::setEnabled);
    connect(browse, &QPushButton::clicked, this, &TOptionPage::browse);

    m_notifyCommand->setObjectName(QStringLiteral("EdtNotifyCommand"));
    m_notifyCommand->setPlaceholderText(QStringLiteral("例: /usr/local/bin/norvex-mail"));
    m_notifyCommand->setToolTip(QStringLiteral(
        "バックアップの失敗、長期間の未成功、失敗からの回復のときに実行するコマンドです。\n"
        "ジョブ名、イベント、内容は環境変数 NORVEX_JOB、NORVEX_EVENT、NORVEX_TEXT で渡されます。"));
    m_notifyTest->setObjectName(QStringLiteral("BotNotifyTest"));
    m_notifyTest->setAccessibleName(QStringLiteral("通知コマンドのテスト"));
    connect(m_notifyTest, &QPushButton::clicked, this, &TOptionPage::BotNotifyTestClick);
    m_retryCount->setObjectName(QStringLiteral("SpnRetryCount"));
    m_retryCount->setRange(0, shared::MaxRetryCount);
    m_retryCount->setSuffix(QStringLiteral(" 回"));
    m_retryCount->setToolTip(
        QStringLiteral("失敗したバックアップを5分、15分、45分後…に再試行する回数です。"));
    m_verifyArchive->setObjectName(QStringLiteral("ChkVerifyArchive"));
    m_verifyArchive->setToolTip(
        QStringLiteral("転送の前に作成したアーカイブを読み直して検査します。"));

    auto *after = new QGroupBox(QStringLiteral("バックアップ後の処理"), this);
    after->setObjectName(QStringLiteral("GrpAfterRun"));
    m_notifyCommand->setParent(after);
    m_notifyTest->setParent(after);
    m_retryCount->setParent(after);
    m_verifyArchive->setParent(after);
    auto *command = new QHBoxLayout;
    command->addWidget(m_notifyCommand, 1);
    command->addWidget(m_notifyTest);
    auto *form = new QFormLayout(after);
    form->addRow(caption(QStringLiteral("通知コマンド"), m_notifyCommand, after), command);
    auto *retries = new QHBoxLayout;
    retries->addWidget(m_retryCount);
    retries->addStretch(1);
    form->addRow(caption(QStringLiteral("再試行回数"), m_retryCount, after), retries);
    form->addRow(QString(), m_verifyArchive);

    auto *note =
        new QLabel(QStringLiteral("設定はサービスプログラムの起動時に読み込まれます。"), this);
    auto *ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("BotOptionOk"));
    ok->setDefault(true);
    auto *cancel = new QPushButton(QStringLiteral("キャンセル"), this);
    cancel->setObjectName(QStringLiteral("BotOptionCancel"));
    connect(ok, &QPushButton::clicked, this, &TOptionPage::BotOkClick);
    connect(cancel, &QPushButton::clicked, this, [this] { m_program.backToList(); });
    bindOkCancelKeys(ok, cancel);
    // Top to bottom as the page reads.
    setTabOrder(m_check, m_folder);
    setTabOrder(m_folder, browse);
    setTabOrder(browse, m_notifyCommand);
    setTabOrder(m_notifyCommand, m_notifyTest);
    setTabOrder(m_notifyTest, m_retryCount);
    setTabOrder(m_retryCount, m_verifyArchive);
    setTabOrder(m_verifyArchive, ok);
    setTabOrder(ok, cancel);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(pageHeading(QStringLiteral("オプション"), this));
    layout->addSpacing(12);
    layout->addWidget(m_check);
    layout->addWidget(m_group);
    layout->addSpacing(12);
    layout->addWidget(after);
    layout->addWidget(note);
    layout->addStretch(1);
    layout->addLayout(buttons);
}

// Both read the file again: it may have been changed since, and a save writes every
// setting it holds.
void TOptionPage::showAction()
{
    shared::TIniFileCompo &settings = m_program.settings();
    settings.SetFileName(settings.FileName());
    const QString value = settings.ReadValue(Section, Key, QString());
    m_folder->setText(value);
    m_check->setChecked(!value.isEmpty());
    m_group->setEnabled(!value.isEmpty());
    m_notifyCommand->setText(shared::readNotifyCommand(settings));
    m_retryCount->setValue(shared::readRetryCount(settings));
    m_verifyArchive->setChecked(shared::readVerifyArchive(settings));
}

// Runs the command as typed, before it is saved, so that it can be tried first. It may
// block for up to a minute: it runs on a thread of its own and the button waits for it.
void TOptionPage::BotNotifyTestClick()
{
    const QString command = m_notifyCommand->text().trimmed();
    if (command.isEmpty()) {
        m_notifyCommand->setFocus();
        m_program.prompter().message(QStringLiteral("通知コマンドを入力してください。"),
                                     Prompter::Kind::Warning);
        return;
    }
    m_notifyTestRunning = true;
    m_notifyTest->setEnabled(false);
    auto failure = std::make_shared<QString>();
    QThread *thread = QThread::create([command, failure] {
        *failure = shared::runNotifyCommand(command, QStringLiteral("Norvex"),
                                            QString::fromLatin1(shared::NotifyTest),
                                            QStringLiteral("Norvexの通知コマンドのテストです。"));
    });
    // Without a parent: a page closed meanwhile leaves the thread to finish on its own.
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    connect(thread, &QThread::finished, this, [this, failure] {
        m_notifyTestRunning = false;
        m_notifyTest->setEnabled(true);
        if (failure->isEmpty())
            m_program.prompter().message(QStringLiteral("通知コマンドを実行しました。"));
        else
            m_program.prompter().message(
                QStringLiteral("通知コマンドを実行できませんでした。\r\n") + *failure,
                Prompter::Kind::Error);
    });
    thread->start();
}

void TOptionPage::browse()
{
    const QString folder = m_program.prompter().folderName(QStringLiteral("フォルダーの選択"));
    if (!folder.isEmpty())
        m_folder->setText(folder);
}

void TOptionPage::BotOkClick()
{
    if (m_check->isChecked() && m_folder->text().isEmpty()) {
        m_folder->setFocus();
        m_program.prompter().message(QStringLiteral("保存先フォルダを選択してください。"),
                                     Prompter::Kind::Warning);
        return;
    }
    if (!m_program.prompter().confirm(
            QStringLiteral("オプション設定を保存します。\r\n"
                           "保存後にサービスプログラムを再起動しないと有効になりません。\r\n"
                           "よろしいですか？")))
        return;
    shared::TIniFileCompo &settings = m_program.settings();
    settings.SetFileName(settings.FileName());
    settings.WriteValue(Section, Key, m_check->isChecked() ? m_folder->text() : QString());
    settings.WriteValue(Section, QString::fromLatin1(shared::NotifyCommandKey),
                        m_notifyCommand->text().trimmed());
    settings.WriteValue(Section, QString::fromLatin1(shared::RetryCountKey),
                        QString::number(m_retryCount->value()));
    settings.WriteValue(Section, QString::fromLatin1(shared::VerifyArchiveKey),
                        shared::writeOnOff(m_verifyArchive->isChecked()));
    if (!settings.SaveSettings()) {
        // The page stays as it is, so the choice can be saved again.
        m_program.prompter().message(QStringLiteral("オプション設定を保存できませんでした。\r\n") +
                                         settings.ErrorMessage(),
                                     Prompter::Kind::Error);
        return;
    }
    m_program.backToList();
}

} // namespace norvex::config
