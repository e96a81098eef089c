#include "config/LocalSubPage.h"

#include "config/Program.h"
#include "config/Prompter.h"
#include "shared/JobRules.h"
#include "shared/mlb2.h"

#include <QGridLayout>
#include <QLineEdit>
#include <QPushButton>

namespace norvex::config {

TLocalSubPage::TLocalSubPage(Program &program, bool change, QWidget *parent)
    : TDestinationSubPage(program, change, parent)
{
    m_folder = lineEdit("EdtSaveFolder");
    auto *browse = new QPushButton(QStringLiteral("参照..."), this);
    browse->setObjectName(name("BotSaveFolder"));
    browse->setToolTip(QStringLiteral("フォルダーの選択"));

    auto *grid = new QGridLayout(this);
    addRow(grid, 0, 0, QStringLiteral("保存先"), m_folder);
    grid->addWidget(browse, 0, 2);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(1, 1);

    connect(browse, &QPushButton::clicked, this, &TLocalSubPage::browseFolder);
}

void TLocalSubPage::reset()
{
    m_folder->clear();
}

void TLocalSubPage::load(const shared::TMlb2 &job)
{
    m_folder->setText(job.FieldByName(QStringLiteral("localbackupdir")));
}

void TLocalSubPage::read(shared::JobInput &input) const
{
    input.localFolder = m_folder->text();
}

QWidget *TLocalSubPage::inputFor(shared::JobInputField field) const
{
    return field == shared::JobInputField::LocalFolder ? m_folder : nullptr;
}

void TLocalSubPage::browseFolder()
{
    const QString folder = m_program.prompter().folderName(QStringLiteral("フォルダーの選択"));
    if (!folder.isEmpty())
        m_folder->setText(folder);
}

} // namespace norvex::config
