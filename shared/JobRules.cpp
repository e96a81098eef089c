#include "shared/JobRules.h"

#include "shared/Exception.h"
#include "shared/ExcludePatterns.h"
#include "shared/mlb2.h"

namespace norvex::shared {

namespace {

QString field(const TMlb2 &job, const char *name)
{
    return job.FieldByName(QLatin1String(name));
}

// As the editor shows a stored flag: a text that is no on/off value counts as on unless "0".
bool ticked(const QString &text)
{
    try {
        return isOn(text);
    } catch (const EConvertError &) {
        return text != QLatin1String("0");
    }
}

std::optional<JobProblem> serverProblem(const JobInput &input)
{
    const std::pair<const QString *, JobProblem> required[] = {
        {&input.host, {QStringLiteral("ホスト名は必須項目です。"), JobInputField::Host}},
        {&input.user, {QStringLiteral("ユーザ名は必須項目です。"), JobInputField::User}},
        // Also with a key file.
        {&input.password, {QStringLiteral("パスワードは必須項目です。"), JobInputField::Password}},
    };
    for (const auto &[value, problem] : required)
        if (value->isEmpty())
            return problem;
    return std::nullopt;
}

} // namespace

QString duplicateJobNameText()
{
    return QStringLiteral("同じバックアップ名称がすでに存在します。");
}

bool jobNameTaken(const TMlb2 &table, const QString &name, const QString &loadedName)
{
    for (int record = 1; record <= table.RecordCount(); ++record) {
        if (table.Cell(1, record) != name)
            continue;
        // Keeping its own name is no clash for the job being changed.
        if (loadedName.isEmpty() || name != loadedName)
            return true;
    }
    return false;
}

std::optional<JobProblem> jobInputProblem(const JobInput &input,
                                          const std::function<bool(const QString &)> &nameTaken)
{
    const auto problem = [](const char *text, JobInputField field) {
        return std::optional<JobProblem>(JobProblem{QString::fromUtf8(text), field});
    };
    if (input.name.isEmpty())
        return problem("バックアップ名称は必須項目です。", JobInputField::Name);
    // The name becomes part of the archive's file name; the service refuses such names too.
    if (!isSafeJobName(input.name))
        return problem("バックアップ名称に「/」や制御文字は使用できません。", JobInputField::Name);
    if (hasGenerationSuffix(input.name))
        return problem("バックアップ名称の末尾に「-数字-」（例：「-1-」）は使用できません。",
                       JobInputField::Name);
    if (nameTaken(input.name))
        return JobProblem{duplicateJobNameText(), JobInputField::Name};
    if (input.sources.isEmpty())
        return problem("バックアップ対象フォルダ、ファイルが選択されていません。",
                       JobInputField::Sources);
    if (input.kind == QLatin1String("Local")) {
        if (input.localFolder.isEmpty())
            return problem("バックアップ保存先フォルダを選択してください。",
                           JobInputField::LocalFolder);
    } else if (auto missing = serverProblem(input)) {
        return missing;
    }
    if (input.createFolder && input.folderName.isEmpty())
        return problem("作成するフォルダ名を入力してください。", JobInputField::FolderName);
    if (input.archivePasswordOn && input.archivePassword.isEmpty())
        return problem("圧縮時パスワードを入力してください。", JobInputField::ArchivePassword);
    for (qsizetype i = 0; i < input.excludes.size(); ++i) {
        const QString &line = input.excludes[i];
        if (line.trimmed().isEmpty())
            continue;
        if (const QString why = ExcludePatterns::problem(line); !why.isEmpty())
            return JobProblem{
                QStringLiteral("除外するファイル、フォルダの %1 行目「%2」は使用できません。%3")
                    .arg(i + 1)
                    .arg(line.trimmed(), why),
                JobInputField::Excludes};
    }
    return std::nullopt;
}

void writeJobInput(TMlb2 &job, const JobInput &input)
{
    auto set = [&job](const char *name, const QString &value) {
        job.SetFieldByName(QString::fromLatin1(name), value);
    };
    set("backupname", input.name);
    set("backuplist", encodeSourceList(input.sources));
    set("tobackup", input.kind);
    if (input.kind == QLatin1String("Local")) {
        set("localbackupdir", input.localFolder);
    } else {
        set("hostname", input.host);
        set("port", QString::number(input.port));
        set("username", input.user);
        set("password", input.password);
        if (input.kind == QLatin1String("FTP")) {
            setJobField(job, QLatin1String(FtpModeField), ftpModeText(input.ftpMode));
            setJobField(job, QLatin1String(FtpSecurityField), ftpSecurityText(input.ftpSecurity));
        } else {
            set("keyfile", input.keyFile);
        }
    }
    set("backupint", QString::number(input.interval));
    set("backuptani", input.unit);
    if (!input.loadedStart.isValid() || input.start != input.loadedStart)
        set("backupdt", formatDateTime(input.start));
    set("op1", writeOnOff(input.createFolder));
    set("op1val", input.folderName);
    set("op2", writeOnOff(input.archivePasswordOn));
    set("op2val", input.archivePassword);
    set("op3", writeOnOff(input.generationsOn));
    set("op3val", QString::number(input.generations));
    set("op4", input.sevenZip ? QStringLiteral("1") : QStringLiteral("0"));
    QStringList patterns;
    for (const QString &line : input.excludes)
        if (!line.trimmed().isEmpty())
            patterns << line;
    // A table without the column keeps its 19 fields until a job has patterns.
    if (!patterns.isEmpty() || job.FieldPosition(QLatin1String(ExcludeField)) > 0)
        setJobField(job, QLatin1String(ExcludeField), encodeExcludes(patterns));
}

JobInput readJobInput(const TMlb2 &job)
{
    JobInput input;
    input.name = field(job, "backupname");
    input.sources = decodeSourceList(field(job, "backuplist"));
    input.kind = field(job, "tobackup");
    input.localFolder = field(job, "localbackupdir");
    input.host = field(job, "hostname");
    input.user = field(job, "username");
    input.password = field(job, "password");
    input.keyFile = field(job, "keyfile");
    input.port = input.kind == QLatin1String("FTP") ? 21 : 22;
    if (!field(job, "port").isEmpty())
        input.port = readInteger(QStringLiteral("port"), field(job, "port"));
    // An unreadable security setting never falls back to clear text.
    try {
        input.ftpMode = readFtpMode(field(job, FtpModeField));
    } catch (const EConvertError &) {
        input.ftpMode = FtpDataMode::Passive;
    }
    try {
        input.ftpSecurity = readFtpSecurity(field(job, FtpSecurityField));
    } catch (const EConvertError &) {
        input.ftpSecurity = FtpSecurity::ExplicitTls;
    }
    input.interval = readInteger(QStringLiteral("backupint"), field(job, "backupint"));
    input.unit = field(job, "backuptani");
    input.start = readDateTime(field(job, "backupdt"));
    input.loadedStart = input.start;
    input.createFolder = ticked(field(job, "op1"));
    input.folderName = field(job, "op1val");
    input.archivePasswordOn = ticked(field(job, "op2"));
    input.archivePassword = field(job, "op2val");
    input.generationsOn = ticked(field(job, "op3"));
    input.generations = readInteger(QStringLiteral("op3val"), field(job, "op3val"));
    input.sevenZip = field(job, "op4") == QLatin1String("1");
    input.excludes = decodeExcludes(field(job, ExcludeField));
    return input;
}

QDateTime defaultStartTime(const QDateTime &now, int interval, const QString &unit)
{
    if (unit == QLatin1String("h")) {
        const QDateTime t = now.addSecs(qint64(interval) * 3600);
        return localWallTime(t.date(), QTime(t.time().hour(), 0, 0));
    }
    return localWallTime(now.date().addDays(interval), QTime(4, 0, 0));
}

void moveToRunNow(TMlb2 &job, const QDateTime &now)
{
    const QString unit = field(job, "backuptani");
    const QDateTime runAt =
        runNowTime(readDateTime(field(job, "backupdt")),
                   readInteger(QStringLiteral("backupint"), field(job, "backupint")),
                   unit.size() == 1 ? unit.at(0) : QChar(), now);
    job.SetFieldByName(QStringLiteral("backupdt"), formatDateTime(runAt));
}

} // namespace norvex::shared
