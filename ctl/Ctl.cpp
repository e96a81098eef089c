#include "ctl/Ctl.h"

#include "platform/Paths.h"
#include "platform/ServiceManager.h"
#include "platform/ServiceProcess.h"
#include "shared/Clock.h"
#include "shared/Exception.h"
#include "shared/JobRules.h"
#include "shared/JobTable.h"
#include "shared/RunStatus.h"
#include "shared/ServiceCommands.h"
#include "shared/SrvCtrl.h"

#include <QFile>

#include <cstdio>
#include <iostream>
#include <unistd.h>

namespace norvex::ctl {

Arguments::Arguments(const QStringList &words, const QStringList &flags, const QStringList &valued)
{
    bool optionsEnd = false;
    for (qsizetype i = 0; i < words.size(); ++i) {
        const QString &word = words[i];
        if (optionsEnd || !word.startsWith(QLatin1String("--"))) {
            m_positional << word;
            continue;
        }
        if (word == QLatin1String("--")) {
            optionsEnd = true;
            continue;
        }
        const qsizetype eq = word.indexOf(QLatin1Char('='));
        const QString name = word.mid(2, eq < 0 ? -1 : eq - 2);
        if (flags.contains(name)) {
            if (eq >= 0)
                throw UsageError(QStringLiteral("--%1 は値を取りません。").arg(name));
            m_options.emplace(name, QString());
        } else if (valued.contains(name)) {
            if (eq >= 0)
                m_options.emplace(name, word.mid(eq + 1));
            else if (i + 1 < words.size())
                m_options.emplace(name, words[++i]);
            else
                throw UsageError(QStringLiteral("--%1 に値がありません。").arg(name));
        } else {
            throw UsageError(QStringLiteral("不明なオプションです: ") + word);
        }
    }
}

QString Arguments::value(const QString &option, const QString &fallback) const
{
    const QStringList all = values(option);
    return all.isEmpty() ? fallback : all.last();
}

QStringList Arguments::values(const QString &option) const
{
    QStringList all;
    const auto [first, last] = m_options.equal_range(option);
    for (auto it = first; it != last; ++it)
        all << it->second;
    return all;
}

void Arguments::expectPositional(int min, int max, const QString &what) const
{
    if (m_positional.size() < min)
        throw UsageError(what + QStringLiteral("を指定してください。"));
    if (max >= 0 && m_positional.size() > max)
        throw UsageError(QStringLiteral("余分な引数です: ") + m_positional[max]);
}

void Arguments::exclusive(const QStringList &options) const
{
    QStringList given;
    for (const QString &option : options)
        if (has(option))
            given << QStringLiteral("--") + option;
    if (given.size() > 1)
        throw UsageError(given.join(QStringLiteral(" と ")) +
                         QStringLiteral(" は同時に指定できません。"));
}

namespace {

void write(FILE *stream, QString text)
{
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

} // namespace

void out(const QString &text)
{
    write(stdout, text);
}

void err(const QString &text)
{
    write(stderr, text);
}

bool stdinIsTerminal()
{
    return ::isatty(STDIN_FILENO) == 1;
}

bool stdoutIsTerminal()
{
    return ::isatty(STDOUT_FILENO) == 1;
}

bool answeredYes()
{
    std::string answer;
    std::getline(std::cin, answer);
    return answer == "y" || answer == "Y" || answer == "yes";
}

Context::Context() : m_folder(platform::installFolder())
{
}

QString Context::jobTablePath() const
{
    return shared::jobTablePath(m_folder);
}

bool Context::loadJobs(shared::TMlb2 &table) const
{
    shared::setupJobTable(table);
    if (!QFile::exists(jobTablePath()))
        return true; // no job yet
    if (table.LoadFromFile(jobTablePath()))
        return true;
    err(QStringLiteral("バックアップ設定ファイルを読み込めませんでした。\n") + table.LastError() +
        QLatin1Char('\n'));
    return false;
}

int Context::findJob(shared::TMlb2 &table, const QString &name, FoundJob *job) const
{
    if (!loadJobs(table))
        return Failure;
    const int column = table.FieldPosition(QStringLiteral("backupname"));
    for (int record = 1; column > 0 && record <= table.RecordCount(); ++record) {
        if (table.Cell(column, record) == name) {
            table.GoToRecord(record);
            *job = {record, name};
            return Success;
        }
    }
    err(QStringLiteral("バックアップ設定「%1」はありません。\n").arg(name));
    return NoSuchJob;
}

int Context::findJob(shared::TMlb2 &table, const QString &name, FoundJob *job,
                     shared::JobInput *input) const
{
    if (const int code = findJob(table, name, job))
        return code;
    try {
        *input = shared::readJobInput(table);
    } catch (const shared::Exception &e) {
        err(e.message() + QLatin1Char('\n'));
        return Failure;
    }
    return Success;
}

bool Context::serviceServes(QString *failure) const
{
    failure->clear();
    try {
        return platform::installFolderLocked(m_folder);
    } catch (const platform::ServiceError &) {
        // Without the lock table the service manager's word is all there is.
    }
    shared::TSrvCtrl srvCtrl;
    shared::setUpSrvCtrl(srvCtrl);
    return shared::serviceCountsAsRunning([&] { return shared::serviceStateQuery(srvCtrl); },
                                          failure) &&
           failure->isEmpty();
}

int Context::refuseWhileInProgress(shared::TMlb2 &table) const
{
    shared::TSrvCtrl srvCtrl;
    shared::setUpSrvCtrl(srvCtrl);
    QString failure;
    bool running = shared::serviceCountsAsRunning(
        [&] { return shared::serviceStateQuery(srvCtrl); }, &failure);
    if (!failure.isEmpty()) {
        err(failure + QLatin1Char('\n'));
        return Failure;
    }
    // A service started by hand has no service manager to ask; its lock tells.
    if (!running) {
        running = serviceServes(&failure);
        if (!failure.isEmpty()) {
            err(failure + QLatin1Char('\n'));
            return Failure;
        }
    }
    if (!running)
        return Success;
    if (!loadJobs(table))
        return Failure;
    if (!shared::filesShowRunInProgress(table, shared::readRunStatus(m_folder),
                                        shared::SystemClock().now()))
        return Success;
    err(shared::backupInProgressText() + QLatin1Char('\n'));
    return InProgress;
}

} // namespace norvex::ctl
