#include "shared/EventLog.h"

#include "platform/AtomicFile.h"
#include "platform/FileIo.h"
#include "platform/JournalStream.h"
#include "platform/Paths.h"
#include "shared/LogReader.h"
#include "shared/mlb2.h"

#include <QDir>
#include <QFile>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace norvex::shared {

namespace {

std::mutex &logMutex()
{
    static std::mutex m;
    return m;
}

bool appendLine(const QByteArray &path, const QByteArray &line)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = platform::writeAll(fd, line);
    ::close(fd);
    return ok;
}

// The journal's priority of a category: err, warning, info.
const char *journalPriority(QChar category)
{
    if (category == QLatin1Char('E'))
        return "<3>";
    if (category == QLatin1Char('W'))
        return "<4>";
    return "<6>";
}

} // namespace

QByteArray journalLine(QChar category, const QString &text)
{
    return QByteArray(journalPriority(category)) + logStoredText(text).toUtf8() + '\n';
}

QString logHeaderLine()
{
    return QStringLiteral("logcategory\tlogdate\tlogtext\tlogtextadd");
}

QString logStoredText(const QString &text)
{
    QString out;
    out.reserve(text.size());
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = text[i];
        if (c == QLatin1Char('\r')) {
            if (i + 1 < n && text[i + 1] == QLatin1Char('\n'))
                ++i;
            out += QLatin1String("\\n");
        } else if (c == QLatin1Char('\n')) {
            out += QLatin1String("\\n");
        } else {
            out += c;
        }
    }
    return out;
}

QString logTextForDisplay(const QString &stored)
{
    QString out = stored;
    out.replace(QLatin1String("\\n"), QLatin1String("\r\n"));
    return out;
}

QString logFilePath(const QString &installFolder, const QDate &day)
{
    return platform::withTrailingSlash(installFolder) + QStringLiteral("Log/") +
           day.toString(QStringLiteral("yyyyMMdd")) + QStringLiteral(".log");
}

void WriteLog(const QString &installFolder, int level, const QString &text, const QDateTime &when)
{
    try {
        QChar category;
        switch (level) {
        case LogInformation:
            category = QLatin1Char('I');
            break;
        case LogWarning:
            category = QLatin1Char('W');
            break;
        case LogError:
            category = QLatin1Char('E');
            break;
        default:
            return;
        }
        const QDateTime local = when.toLocalTime();
        const QString stamp = local.toString(QStringLiteral("yyyy/MM/dd hh:mm:ss:zzz"));
        const QByteArray line = (QString(category) + QLatin1Char('\t') + stamp + QLatin1Char('\t') +
                                 logStoredText(text) + QLatin1String("\r\n"))
                                    .toUtf8();
        const QString path = logFilePath(installFolder, local.date());
        const QByteArray header = (logHeaderLine() + QLatin1String("\r\n")).toUtf8();

        std::lock_guard<std::mutex> lock(logMutex());
        // Under systemd the entry also goes to the journal with its priority, so that
        // journalctl -p err lists the failures; also when the Log folder is missing.
        if (platform::stderrIsJournal())
            platform::writeAll(STDERR_FILENO, journalLine(category, text));
        // The day file appears complete with its header, so the header is always first
        // even when another process appends at the same moment.
        if (!platform::createFileExclusively(path, header, 0666 & ~platform::processUmask()))
            return;
        appendLine(QFile::encodeName(path), line);
    } catch (...) {
        // Logging never takes the service down; the entry is lost.
    }
}

void WriteLog(int level, const QString &text)
{
    try {
        WriteLog(platform::installFolder(), level, text, QDateTime::currentDateTime());
    } catch (...) {
    }
}

QString logPeriodBound(LogPeriod period, const QDate &today)
{
    switch (period) {
    case LogPeriod::Today:
        return today.toString(QStringLiteral("yyyyMMdd"));
    case LogPeriod::Past7Days:
        return today.addDays(-14).toString(QStringLiteral("yyyyMMdd"));
    case LogPeriod::ThisMonth:
        return today.toString(QStringLiteral("yyyyMM")) + QStringLiteral("01");
    case LogPeriod::All:
        break;
    }
    return QStringLiteral("20110901");
}

bool logFileInPeriod(const QString &fileName, const QString &bound)
{
    // The stem is the name without its last extension, as the file listing gives it.
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    const QString stem = dot > 0 ? fileName.left(dot) : fileName;
    return stem.toUtf8() >= bound.toUtf8();
}

QStringList listLogFolder(const QString &installFolder)
{
    QDir dir(platform::withTrailingSlash(installFolder) + QStringLiteral("Log"));
    if (!dir.exists())
        return {};
    QStringList names;
    for (const QString &name :
         dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
        if (isDayLogName(name))
            names.append(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

void setupLogTable(TMlb2 &table)
{
    table.SetSeparator(QLatin1Char('\t'));
    table.SetQuoteChar(QChar());
}

int loadLogEntries(TMlb2 &log, const QString &installFolder, const QString &bound)
{
    LogReader reader;
    return reader.reload(log, installFolder, bound).files;
}

} // namespace norvex::shared
