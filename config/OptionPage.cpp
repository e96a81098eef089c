#include "config/OptionPage.h"

#include "config/Heading.h"
#include "config/Program.h"
#include "config/Prompter.h"
#include "shared/IniFileCompo.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace norvex::config {

namespace {

const QString Section = QStringLiteral("Option");
const QString Key = QStringLiteral("TmpFolder");

} // namespace

TOptionPage::TOptionPage(Program &program, QWidget *parent)
    : TPage(parent), m_program(program),
      m_check(new QCheckBox(QStringLiteral("一時保存先フォルダを指定する"), this)),
      m_group(new QGroupBox(QStringLiteral("保存先フォルダ"), this)),
      m_folder(new QLineEdit(m_group))
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

    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(pageHeading(QStringLiteral("オプション"), this));
    layout->addSpacing(12);
    layout->addWidget(m_check);
    layout->addWidget(m_group);
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
