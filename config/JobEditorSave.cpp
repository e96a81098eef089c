// The job editor's OK: in-progress check, validation, confirmation and the write.
#include "config/DestinationSubPage.h"
#include "config/JobEditor.h"
#include "config/ListStatus.h"
#include "config/Program.h"
#include "config/Prompter.h"
#include "config/ServiceCommands.h"
#include "shared/Clock.h"
#include "shared/Exception.h"
#include "shared/ExcludePatterns.h"
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

// Refused at validation, and again by the save when another writer added the name since.
QString duplicateNameText()
{
    return QStringLiteral("同じバックアップ名称がすでに存在します。");
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
        m_program.prompter().message(
            QStringLiteral("バックアップ処理を開始したため設定追加はできません。\r\n"
                           "バックアップ処理が終了するまでお待ちください。"),
            Prompter::Kind::Warning);
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
        inProgress = filesShowRunInProgress(table, shared::readRunStatus(m_program.installFolder()),
                                            m_program.clock().now());
    }
    m_program.setBackupInProgress(inProgress);
    return inProgress;
}

bool TJobEditor::nameTaken(const QString &name)
{
    shared::TMlb2 &table = m_program.jobTable();
    for (int record = 1; record <= table.RecordCount(); ++record) {
        if (table.Cell(1, record) != name)
            continue;
        // Keeping its own name is no clash for the job being changed.
        if (!m_change || name != m_loadedName)
            return true;
    }
    return false;
}

bool TJobEditor::validate()
{
    const QString name = m_name->text();
    if (name.isEmpty())
        return warn(m_program, m_name, QStringLiteral("バックアップ名称は必須項目です。"));
    // The name becomes part of the archive's file name; the service refuses such names too.
    if (!shared::isSafeJobName(name))
        return warn(m_program, m_name,
                    QStringLiteral("バックアップ名称に「/」や制御文字は使用できません。"));
    if (shared::hasGenerationSuffix(name))
        return warn(
            m_program, m_name,
            QStringLiteral("バックアップ名称の末尾に「-数字-」（例：「-1-」）は使用できません。"));
    if (nameTaken(name))
        return warn(m_program, m_name, duplicateNameText());
    if (m_sources->count() == 0)
        return warn(m_program, nullptr,
                    QStringLiteral("バックアップ対象フォルダ、ファイルが選択されていません。"));
    QWidget *focus = nullptr;
    const QString missing = m_subPages[m_kind->currentIndex()]->problem(&focus);
    if (!missing.isEmpty())
        return warn(m_program, focus, missing);
    if (m_createFolder->isChecked() && m_folderName->text().isEmpty())
        return warn(m_program, m_folderName,
                    QStringLiteral("作成するフォルダ名を入力してください。"));
    if (m_arcPassOn->isChecked() && m_arcPass->text().isEmpty())
        return warn(m_program, m_arcPass, QStringLiteral("圧縮時パスワードを入力してください。"));
    const QStringList lines = m_excludes->toPlainText().split(QLatin1Char('\n'));
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (lines[i].trimmed().isEmpty())
            continue;
        if (const QString why = shared::ExcludePatterns::problem(lines[i]); !why.isEmpty())
            return warn(
                m_program, m_excludes,
                QStringLiteral("除外するファイル、フォルダの %1 行目「%2」は使用できません。%3")
                    .arg(i + 1)
                    .arg(lines[i].trimmed(), why));
    }
    return true;
}

void TJobEditor::writeJob(shared::TMlb2 &job) const
{
    auto set = [&job](const char *field, const QString &value) {
        job.SetFieldByName(QString::fromLatin1(field), value);
    };
    set("backupname", m_name->text());
    set("backuplist", shared::encodeSourceList(sourceList()));
    set("tobackup", m_kind->currentData().toString());
    // Only the chosen kind's fields: a changed job keeps the others' values.
    m_subPages[m_kind->currentIndex()]->write(job);
    set("backupint", QString::number(m_interval->value()));
    set("backuptani", m_unit->currentData().toString());
    // The service moves the next run time on at the end of each run, also while this page
    // is open: an untouched start keeps what the file holds.
    if (!m_change || m_startTime->dateTime() != m_loadedStart)
        set("backupdt", shared::formatDateTime(m_startTime->dateTime()));
    set("op1", shared::writeOnOff(m_createFolder->isChecked()));
    set("op1val", m_folderName->text());
    set("op2", shared::writeOnOff(m_arcPassOn->isChecked()));
    set("op2val", m_arcPass->text());
    set("op3", shared::writeOnOff(m_sedaiOn->isChecked()));
    set("op3val", QString::number(m_sedaiNum->value()));
    set("op4", m_format->checkedId() == 1 ? QStringLiteral("1") : QStringLiteral("0"));
    // A table without the column keeps its 19 fields until a job has patterns.
    if (const QStringList patterns = excludeList();
        !patterns.isEmpty() || job.FieldPosition(QLatin1String(shared::ExcludeField)) > 0)
        shared::setJobField(job, QLatin1String(shared::ExcludeField),
                            shared::encodeExcludes(patterns));
}

bool TJobEditor::save()
{
    shared::TMlb2 &table = m_program.jobTable();
    const QString path = shared::jobTablePath(m_program.installFolder());
    const auto write = [this](shared::TMlb2 &job) { writeJob(job); };
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
        return warn(m_program, m_name, duplicateNameText());
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
