// The job editor's OK: in-progress check, validation, confirmation and the write.
#include "config/DestinationSubPage.h"
#include "config/JobEditor.h"
#include "config/Program.h"
#include "config/Prompter.h"
#include "config/ServiceCommands.h"
#include "shared/Clock.h"
#include "shared/Exception.h"
#include "shared/JobRules.h"
#include "shared/JobTable.h"
#include "shared/RunStatus.h"
#include "shared/mlb2.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QSpinBox>

namespace norvex::config {

namespace {

bool warn(Program &program, QWidget *focus, const QString &text)
{
    if (focus)
        focus->setFocus();
    program.prompter().message(text, Prompter::Kind::Warning);
    return false;
}

} // namespace

void TJobEditor::BotOkClick()
{
    QString failure;
    const bool inProgress = backupInProgress(&failure);
    if (!failure.isEmpty()) {
        m_program.prompter().message(failure, Prompter::Kind::Error);
        return;
    }
    if (inProgress) {
        m_program.prompter().message(shared::backupInProgressText(), Prompter::Kind::Warning);
        return;
    }
    if (!validate())
        return;
    const QString question =
        m_change
            ? QStringLiteral("入力された内容でバックアップ内容を変更します。\r\nよろしいですか？")
            : QStringLiteral(
                  "入力された内容でバックアップ取得一覧に追加します。\r\nよろしいですか？");
    if (!m_program.prompter().confirm(question))
        return;
    if (save())
        m_program.backToList(m_change ? m_loadedNumber - 1 : -1);
}

bool TJobEditor::backupInProgress(QString *failure)
{
    // The job list's rule: a state that cannot be queried counts as a run under way.
    bool inProgress = serviceCountsAsRunning(m_program, failure);
    if (inProgress && failure->isEmpty()) {
        shared::TMlb2 &table = m_program.jobTable();
        table.LoadFromFile(shared::jobTablePath(m_program.installFolder()));
        inProgress = shared::filesShowRunInProgress(
            table, shared::readRunStatus(m_program.installFolder()), m_program.clock().now());
    }
    m_program.setBackupInProgress(inProgress);
    return inProgress;
}

shared::JobInput TJobEditor::input() const
{
    shared::JobInput input;
    input.name = m_name->text();
    input.sources = sourceList();
    input.kind = m_kind->currentData().toString();
    m_subPages[m_kind->currentIndex()]->read(input);
    input.interval = m_interval->value();
    input.unit = m_unit->currentData().toString();
    input.start = m_startTime->dateTime();
    if (m_change)
        input.loadedStart = m_loadedStart;
    input.createFolder = m_createFolder->isChecked();
    input.folderName = m_folderName->text();
    input.archivePasswordOn = m_arcPassOn->isChecked();
    input.archivePassword = m_arcPass->text();
    input.generationsOn = m_sedaiOn->isChecked();
    input.generations = m_sedaiNum->value();
    input.sevenZip = m_format->checkedId() == 1;
    input.excludes = m_excludes->toPlainText().split(QLatin1Char('\n'));
    return input;
}

bool TJobEditor::validate()
{
    const QString loadedName = m_change ? m_loadedName : QString();
    const std::optional<shared::JobProblem> problem =
        shared::jobInputProblem(input(), [&](const QString &name) {
            return shared::jobNameTaken(m_program.jobTable(), name, loadedName);
        });
    if (!problem)
        return true;
    QWidget *focus = nullptr;
    switch (problem->field) {
    case shared::JobInputField::Name:
        focus = m_name;
        break;
    case shared::JobInputField::Sources:
        break;
    case shared::JobInputField::FolderName:
        focus = m_folderName;
        break;
    case shared::JobInputField::ArchivePassword:
        focus = m_arcPass;
        break;
    case shared::JobInputField::Excludes:
        focus = m_excludes;
        break;
    default:
        focus = m_subPages[m_kind->currentIndex()]->inputFor(problem->field);
    }
    return warn(m_program, focus, problem->text);
}

bool TJobEditor::save()
{
    shared::TMlb2 &table = m_program.jobTable();
    const QString path = shared::jobTablePath(m_program.installFolder());
    const shared::JobInput values = input();
    const auto write = [&values](shared::TMlb2 &job) { shared::writeJobInput(job, values); };
    QString error;
    // The file is read again and only this job is added or changed, so a next run time the
    // service saved meanwhile stays.
    const shared::JobFileResult result =
        m_change ? shared::changeJobInFile(table, path, m_loadedNumber, m_loadedName, write, &error)
                 : shared::appendJobToFile(table, path, write, &error);
    switch (result) {
    case shared::JobFileResult::Saved:
        return true;
    case shared::JobFileResult::NotFound:
        m_program.prompter().message(
            QStringLiteral("バックアップ設定「%1」は一覧から削除されたか移動しています。"
                           "変更は保存されませんでした。\r\n一覧を開き直してください。")
                .arg(m_loadedName),
            Prompter::Kind::Error);
        return false;
    case shared::JobFileResult::Duplicate:
        return warn(m_program, m_name, shared::duplicateJobNameText());
    case shared::JobFileResult::Unreadable:
    case shared::JobFileResult::Unwritable:
        break;
    }
    m_program.prompter().message(
        QStringLiteral("バックアップ設定を保存できませんでした。\r\n%1").arg(error),
        Prompter::Kind::Error);
    return false;
}

} // namespace norvex::config
