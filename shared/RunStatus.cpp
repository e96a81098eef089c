#include "shared/RunStatus.h"

#include "platform/AtomicFile.h"
#include "platform/ServiceProcess.h"
#include "shared/JobTable.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace norvex::shared {

namespace {

constexpr int kFormat = 1;

QJsonValue timeValue(const QDateTime &when)
{
    return when.isValid() ? QJsonValue(formatDateTime(when)) : QJsonValue();
}

QDateTime timeOf(const QJsonObject &o, const char *key)
{
    const QString text = o.value(QLatin1String(key)).toString();
    if (text.isEmpty())
        return {};
    try {
        return readDateTime(text);
    } catch (...) {
        return {};
    }
}

qint64 numberOf(const QJsonObject &o, const char *key, qint64 otherwise)
{
    const QJsonValue v = o.value(QLatin1String(key));
    return v.isDouble() ? qint64(v.toDouble()) : otherwise;
}

struct Name
{
    const char *text;
    int value;
};

constexpr Name kResults[] = {{"success", int(RunResult::Success)},
                             {"archiveFailed", int(RunResult::ArchiveFailed)},
                             {"transferFailed", int(RunResult::TransferFailed)}};
constexpr Name kStages[] = {{"compressing", int(RunStage::Compressing)},
                            {"verifying", int(RunStage::Verifying)},
                            {"transferring", int(RunStage::Transferring)}};

template <std::size_t N>
QString nameOf(const Name (&names)[N], int value)
{
    for (const Name &n : names)
        if (n.value == value)
            return QLatin1String(n.text);
    return {};
}

template <std::size_t N>
int valueOf(const Name (&names)[N], const QString &text, int otherwise)
{
    for (const Name &n : names)
        if (text == QLatin1String(n.text))
            return n.value;
    return otherwise;
}

QJsonObject encodeProgress(const RunProgress &p)
{
    QJsonObject o;
    o.insert(QStringLiteral("stage"), nameOf(kStages, int(p.stage)));
    o.insert(QStringLiteral("started"), timeValue(p.started));
    o.insert(QStringLiteral("attempt"), p.attempt);
    o.insert(QStringLiteral("filesDone"), p.filesDone);
    o.insert(QStringLiteral("filesTotal"), p.filesTotal);
    o.insert(QStringLiteral("bytesDone"), p.bytesDone);
    o.insert(QStringLiteral("bytesTotal"), p.bytesTotal);
    o.insert(QStringLiteral("archiveDone"), p.archiveDone);
    o.insert(QStringLiteral("archiveSize"), p.archiveSize);
    return o;
}

RunProgress decodeProgress(const QJsonObject &o)
{
    RunProgress p;
    p.stage = RunStage(
        valueOf(kStages, o.value(QLatin1String("stage")).toString(), int(RunStage::Compressing)));
    p.started = timeOf(o, "started");
    p.attempt = int(numberOf(o, "attempt", 0));
    p.filesDone = numberOf(o, "filesDone", 0);
    p.filesTotal = numberOf(o, "filesTotal", -1);
    p.bytesDone = numberOf(o, "bytesDone", 0);
    p.bytesTotal = numberOf(o, "bytesTotal", -1);
    p.archiveDone = numberOf(o, "archiveDone", 0);
    p.archiveSize = numberOf(o, "archiveSize", -1);
    return p;
}

QJsonObject encodeJob(const JobStatus &s)
{
    QJsonObject o;
    o.insert(QStringLiteral("position"), s.position);
    o.insert(QStringLiteral("backupname"), s.backupName);
    o.insert(QStringLiteral("firstSeen"), timeValue(s.firstSeen));
    o.insert(QStringLiteral("lastStart"), timeValue(s.lastStart));
    o.insert(QStringLiteral("lastEnd"), timeValue(s.lastEnd));
    o.insert(QStringLiteral("lastResult"), nameOf(kResults, int(s.lastResult)));
    o.insert(QStringLiteral("lastError"), s.lastError);
    o.insert(QStringLiteral("archiveSize"), s.archiveSize);
    o.insert(QStringLiteral("lastSuccess"), timeValue(s.lastSuccess));
    o.insert(QStringLiteral("failuresSinceSuccess"), s.failuresSinceSuccess);
    o.insert(QStringLiteral("staleAlarmed"), s.staleAlarmed);
    if (s.retryAttempt > 0 && s.retryAt.isValid()) {
        QJsonObject r;
        r.insert(QStringLiteral("attempt"), s.retryAttempt);
        r.insert(QStringLiteral("at"), timeValue(s.retryAt));
        o.insert(QStringLiteral("retry"), r);
    }
    if (s.running)
        o.insert(QStringLiteral("running"), encodeProgress(*s.running));
    return o;
}

std::optional<JobStatus> decodeJob(const QJsonObject &o)
{
    JobStatus s;
    s.position = int(numberOf(o, "position", 0));
    s.backupName = o.value(QLatin1String("backupname")).toString();
    if (s.position < 1 || s.backupName.isEmpty())
        return std::nullopt;
    s.firstSeen = timeOf(o, "firstSeen");
    s.lastStart = timeOf(o, "lastStart");
    s.lastEnd = timeOf(o, "lastEnd");
    s.lastResult = RunResult(valueOf(kResults, o.value(QLatin1String("lastResult")).toString(),
                                     int(RunResult::Unknown)));
    s.lastError = o.value(QLatin1String("lastError")).toString();
    s.archiveSize = numberOf(o, "archiveSize", -1);
    s.lastSuccess = timeOf(o, "lastSuccess");
    s.failuresSinceSuccess = qMax(0, int(numberOf(o, "failuresSinceSuccess", 0)));
    s.staleAlarmed = o.value(QLatin1String("staleAlarmed")).toBool();
    const QJsonObject retry = o.value(QLatin1String("retry")).toObject();
    s.retryAttempt = qMax(0, int(numberOf(retry, "attempt", 0)));
    s.retryAt = timeOf(retry, "at");
    if (!s.retryAt.isValid())
        s.retryAttempt = 0;
    const QJsonValue running = o.value(QLatin1String("running"));
    if (running.isObject())
        s.running = decodeProgress(running.toObject());
    return s;
}

} // namespace

QString runStatusPath(const QString &installFolder)
{
    QString folder = installFolder;
    if (!folder.isEmpty() && !folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');
    return folder + QLatin1String(RunStatusFileName);
}

QByteArray encodeRunStatus(const RunStatusRecord &record)
{
    QJsonObject top;
    top.insert(QStringLiteral("format"), kFormat);
    top.insert(QStringLiteral("servicePid"), record.servicePid);
    top.insert(QStringLiteral("written"), timeValue(record.written));
    QJsonArray jobs;
    for (const JobStatus &s : record.jobs)
        jobs.append(encodeJob(s));
    top.insert(QStringLiteral("jobs"), jobs);
    return QJsonDocument(top).toJson(QJsonDocument::Indented);
}

RunStatusRecord decodeRunStatus(const QByteArray &data)
{
    RunStatusRecord record;
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(data, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return record;
    const QJsonObject top = doc.object();
    record.servicePid = numberOf(top, "servicePid", 0);
    record.written = timeOf(top, "written");
    for (const QJsonValue &v : top.value(QLatin1String("jobs")).toArray())
        if (v.isObject())
            if (auto job = decodeJob(v.toObject()))
                record.jobs.push_back(std::move(*job));
    return record;
}

RunStatusRecord readRunStatus(const QString &installFolder)
{
    QFile file(runStatusPath(installFolder));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return decodeRunStatus(file.readAll());
}

bool writeRunStatus(const QString &installFolder, const RunStatusRecord &record, bool durable,
                    QString *error)
{
    return platform::writeFileAtomically(
        runStatusPath(installFolder), encodeRunStatus(record), 0600, error,
        durable ? platform::Durability::Durable : platform::Durability::Atomic);
}

const JobStatus *findJobStatus(const RunStatusRecord &record, int position, const QString &name)
{
    const JobStatus *only = nullptr;
    int named = 0;
    for (const JobStatus &s : record.jobs) {
        if (s.backupName != name)
            continue;
        if (s.position == position)
            return &s;
        only = &s;
        ++named;
    }
    return named == 1 ? only : nullptr;
}

JobStatus *findJobStatus(RunStatusRecord &record, int position, const QString &name)
{
    return const_cast<JobStatus *>(
        findJobStatus(static_cast<const RunStatusRecord &>(record), position, name));
}

bool runIsLive(const RunStatusRecord &record)
{
    return platform::processExists(record.servicePid);
}

QDateTime staleFrom(const JobStatus &status, int interval, QChar unit)
{
    const QDateTime since = status.lastSuccess.isValid() ? status.lastSuccess : status.firstSeen;
    if (!since.isValid() || interval < 1)
        return {};
    if (unit == QLatin1Char('h'))
        return since.addSecs(qint64(interval) * 2 * 3600);
    if (unit == QLatin1Char('d'))
        return since.addDays(qint64(interval) * 2);
    return {};
}

bool isStale(const JobStatus &status, int interval, QChar unit, const QDateTime &now)
{
    const QDateTime from = staleFrom(status, interval, unit);
    return from.isValid() && from <= now;
}

int retryDelayMinutes(int attempt)
{
    int minutes = 5;
    for (int i = 1; i < attempt; ++i)
        minutes *= 3;
    return minutes;
}

QString runResultText(RunResult result)
{
    switch (result) {
    case RunResult::Success:
        return QStringLiteral("正常終了");
    case RunResult::ArchiveFailed:
        return QStringLiteral("異常終了（圧縮）");
    case RunResult::TransferFailed:
        return QStringLiteral("異常終了（転送）");
    case RunResult::Unknown:
        break;
    }
    return {};
}

QString runStageText(RunStage stage)
{
    switch (stage) {
    case RunStage::Compressing:
        return QStringLiteral("圧縮中");
    case RunStage::Verifying:
        return QStringLiteral("検査中");
    case RunStage::Transferring:
        return QStringLiteral("転送中");
    }
    return {};
}

} // namespace norvex::shared
