#include "shared/JobTable.h"

#include "platform/AtomicFile.h"
#include "platform/Paths.h"
#include "shared/Exception.h"
#include "shared/mlb2.h"

#include <QDir>
#include <QFileInfo>
#include <QTimeZone>

namespace norvex::shared {

const QStringList &jobFieldNames()
{
    static const QStringList names = {QStringLiteral("backupname"),
                                      QStringLiteral("backuplist"),
                                      QStringLiteral("tobackup"),
                                      QStringLiteral("hostname"),
                                      QStringLiteral("port"),
                                      QStringLiteral("username"),
                                      QStringLiteral("password"),
                                      QStringLiteral("keyfile"),
                                      QStringLiteral("localbackupdir"),
                                      QStringLiteral("backupint"),
                                      QStringLiteral("backuptani"),
                                      QStringLiteral("backupdt"),
                                      QStringLiteral("op1"),
                                      QStringLiteral("op1val"),
                                      QStringLiteral("op2"),
                                      QStringLiteral("op2val"),
                                      QStringLiteral("op3"),
                                      QStringLiteral("op3val"),
                                      QStringLiteral("op4")};
    return names;
}

QString jobTablePath(const QString &installFolder)
{
    return platform::withTrailingSlash(installFolder) + QLatin1String(JobTableFileName);
}

bool ensureJobTable(const QString &installFolder)
{
    if (!QFileInfo(installFolder).isDir())
        return false;
    QByteArray header;
    for (const QString &name : jobFieldNames()) {
        if (!header.isEmpty())
            header += ',';
        header += '"' + name.toUtf8() + '"';
    }
    header += "\r\n";
    // The table holds passwords in plain text: only its owner may read it.
    const bool table = platform::createFileExclusively(jobTablePath(installFolder), header, 0600);
    const bool log =
        QDir().mkpath(platform::withTrailingSlash(installFolder) + QStringLiteral("Log"));
    return table && log;
}

static bool isSeparatorChar(QChar c)
{
    return c.unicode() == ' ' || c.unicode() < 32;
}

QString encodeSourceList(const QStringList &paths)
{
    QString out;
    for (qsizetype i = 0; i < paths.size(); ++i) {
        const QString &path = paths[i];
        if (i > 0)
            out += QLatin1Char(' ');
        bool quote = path.isEmpty(); // an empty path exists only between quotation marks
        for (QChar c : path) {
            if (isSeparatorChar(c) || c == QLatin1Char('"')) {
                quote = true;
                break;
            }
        }
        if (quote) {
            QString inner = path;
            inner.replace(QLatin1Char('"'), QLatin1String("\"\""));
            out += QLatin1Char('"') + inner + QLatin1Char('"');
        } else {
            out += path;
        }
    }
    return out;
}

QStringList decodeSourceList(const QString &text)
{
    QStringList paths;
    const qsizetype n = text.size();
    qsizetype i = 0;
    while (i < n) {
        if (isSeparatorChar(text[i])) {
            ++i;
            continue;
        }
        QString path;
        if (text[i] == QLatin1Char('"')) {
            ++i;
            while (i < n) {
                if (text[i] == QLatin1Char('"')) {
                    if (i + 1 < n && text[i + 1] == QLatin1Char('"')) {
                        path += QLatin1Char('"');
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                path += text[i++];
            }
        } else {
            const qsizetype start = i;
            while (i < n && !isSeparatorChar(text[i]))
                ++i;
            path = text.mid(start, i - start);
        }
        paths.append(path);
    }
    return paths;
}

QString writeOnOff(bool on)
{
    return on ? QStringLiteral("-1") : QStringLiteral("0");
}

// Decimal number with optional sign and fraction; sets *nonZero.
static bool parseDecimal(const QString &text, bool *nonZero)
{
    qsizetype i = 0;
    const qsizetype n = text.size();
    if (i < n && (text[i] == QLatin1Char('-') || text[i] == QLatin1Char('+')))
        ++i;
    bool digits = false;
    bool any = false;
    bool fraction = false;
    for (; i < n; ++i) {
        const QChar c = text[i];
        if (c >= QLatin1Char('0') && c <= QLatin1Char('9')) {
            digits = true;
            any = any || c != QLatin1Char('0');
        } else if (c == QLatin1Char('.') && !fraction && digits) {
            fraction = true;
            if (i + 1 >= n)
                return false;
        } else {
            return false;
        }
    }
    *nonZero = any;
    return digits;
}

bool readOnOff(const QString &text)
{
    const QString t = text.trimmed();
    if (t.compare(QLatin1String("True"), Qt::CaseInsensitive) == 0)
        return true;
    if (t.compare(QLatin1String("False"), Qt::CaseInsensitive) == 0)
        return false;
    bool nonZero = false;
    if (parseDecimal(t, &nonZero))
        return nonZero;
    throw EConvertError(QStringLiteral("'%1' is not a valid boolean value").arg(text));
}

int readInteger(const QString &fieldName, const QString &text)
{
    bool ok = false;
    const QString t = text.trimmed();
    const int value = t.toInt(&ok, 10);
    if (!ok || t.isEmpty())
        throw EConvertError(
            QStringLiteral("'%1' is not a valid integer value for %2").arg(text, fieldName));
    return value;
}

static bool readNumber(const QString &text, qsizetype &i, int minDigits, int maxDigits, int *value)
{
    int v = 0;
    int count = 0;
    while (i < text.size() && count < maxDigits && text[i] >= QLatin1Char('0') &&
           text[i] <= QLatin1Char('9')) {
        v = v * 10 + (text[i].unicode() - '0');
        ++i;
        ++count;
    }
    *value = v;
    return count >= minDigits;
}

static bool expect(const QString &text, qsizetype &i, char c)
{
    if (i < text.size() && text[i] == QLatin1Char(c)) {
        ++i;
        return true;
    }
    return false;
}

QDateTime readDateTime(const QString &text)
{
    const QString t = text.trimmed();
    qsizetype i = 0;
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    const bool shape =
        readNumber(t, i, 4, 4, &y) && expect(t, i, '/') && readNumber(t, i, 1, 2, &mo) &&
        expect(t, i, '/') && readNumber(t, i, 1, 2, &d) && expect(t, i, ' ') &&
        readNumber(t, i, 1, 2, &h) && expect(t, i, ':') && readNumber(t, i, 2, 2, &mi) &&
        expect(t, i, ':') && readNumber(t, i, 2, 2, &s) && i == t.size();
    const QDate date(y, mo, d);
    const QTime time(h, mi, s);
    if (!shape || !date.isValid() || !time.isValid())
        throw EConvertError(QStringLiteral("'%1' is not a valid date and time").arg(text));
    return localWallTime(date, time);
}

QString formatDateTime(const QDateTime &when)
{
    if (!when.isValid())
        return {};
    const QDateTime wall = when.timeSpec() == Qt::UTC ? when.toLocalTime() : when;
    return wall.toString(QStringLiteral("yyyy/MM/dd hh:mm:ss"));
}

namespace {

constexpr qint64 MsPerDay = 86400000;

// Wall-clock values as one count of milliseconds, every day 24 hours long.
qint64 wallMs(const QDate &date, const QTime &time)
{
    return date.toJulianDay() * MsPerDay + time.msecsSinceStartOfDay();
}

qint64 wallMs(const QDateTime &dt)
{
    return wallMs(dt.date(), dt.time());
}

QDateTime fromWallMs(qint64 ms)
{
    qint64 day = ms / MsPerDay;
    qint64 rest = ms % MsPerDay;
    if (rest < 0) {
        rest += MsPerDay;
        --day;
    }
    const QDate date = QDate::fromJulianDay(day);
    if (!date.isValid())
        return {};
    return localWallTime(date, QTime::fromMSecsSinceStartOfDay(static_cast<int>(rest)));
}

qint64 stepMs(int interval, QChar unit)
{
    if (interval < 1)
        throw EConvertError(
            QStringLiteral("'%1' is not a valid interval: it must be at least 1").arg(interval));
    if (unit == QLatin1Char('h'))
        return interval * qint64(3600000);
    if (unit == QLatin1Char('d'))
        return interval * MsPerDay;
    throw EConvertError(
        QStringLiteral("'%1' is not a valid interval unit: it must be h or d").arg(unit));
}

qint64 ceilDiv(qint64 a, qint64 b)
{
    // b > 0
    return a >= 0 ? (a + b - 1) / b : -((-a) / b);
}

void requireValid(const QDateTime &dt, const char *what)
{
    if (!dt.isValid())
        throw EConvertError(QStringLiteral("invalid %1 for the schedule").arg(QLatin1String(what)));
}

// The wall clock of an anchor as stored: a UTC value counts as its local time.
QDateTime asWall(const QDateTime &dt)
{
    return dt.timeSpec() == Qt::UTC ? dt.toLocalTime() : dt;
}

} // namespace

QDateTime localWallTime(const QDate &date, const QTime &time)
{
    const QDateTime local(date, time, Qt::LocalTime);
    if (local.isValid() && local.date() == date && local.time() == time)
        return local;
    // The clock skips this time. Take the offset in force well before it (transitions are
    // months apart) and express the moment with it.
    const qint64 naive = QDateTime(date, time, Qt::UTC).toMSecsSinceEpoch();
    const QTimeZone zone = QTimeZone::systemTimeZone();
    const int before =
        zone.offsetFromUtc(QDateTime::fromMSecsSinceEpoch(naive - 36 * 3600000LL, Qt::UTC));
    const QDateTime result =
        QDateTime::fromMSecsSinceEpoch(naive - before * 1000LL, Qt::OffsetFromUTC, before);
    if (result.isValid() && result.date() == date && result.time() == time)
        return result;
    return local;
}

QDateTime nextRunTime(const QDateTime &backupdt, int interval, QChar unit, const QDateTime &end)
{
    const qint64 step = stepMs(interval, unit);
    requireValid(backupdt, "next run time");
    requireValid(end, "end time");
    const qint64 anchor = wallMs(asWall(backupdt));
    const qint64 target = wallMs(end.toLocalTime());
    qint64 k = qMax<qint64>(1, ceilDiv(target - anchor, step));
    QDateTime next = fromWallMs(anchor + k * step);
    // Where the clock goes back, the wall clock repeats an hour: step on until the moment
    // itself is not before the end, so the job is not due again at once.
    for (int guard = 0; next.isValid() && next < end && guard < 48; ++guard)
        next = fromWallMs(anchor + ++k * step);
    requireValid(next, "next run time");
    return next;
}

QDateTime runNowTime(const QDateTime &backupdt, int interval, QChar unit, const QDateTime &now)
{
    const qint64 step = stepMs(interval, unit);
    requireValid(backupdt, "next run time");
    requireValid(now, "current time");
    const qint64 anchor = wallMs(asWall(backupdt));
    const qint64 target = wallMs(now.toLocalTime());
    qint64 k = qMax<qint64>(1, ceilDiv(anchor - target, step));
    QDateTime p = fromWallMs(anchor - k * step);
    for (int guard = 0; p.isValid() && p > now && guard < 48; ++guard)
        p = fromWallMs(anchor - ++k * step);
    requireValid(p, "run time");
    return p;
}

} // namespace norvex::shared

namespace norvex::shared {

FtpDataMode readFtpMode(const QString &text)
{
    if (text.isEmpty() || text == QLatin1String("active"))
        return FtpDataMode::Active;
    if (text == QLatin1String("passive"))
        return FtpDataMode::Passive;
    throw EConvertError(QStringLiteral("'%1' is not a valid FTP connection mode").arg(text));
}

FtpSecurity readFtpSecurity(const QString &text)
{
    if (text.isEmpty() || text == QLatin1String("none"))
        return FtpSecurity::None;
    if (text == QLatin1String("tls"))
        return FtpSecurity::ExplicitTls;
    throw EConvertError(QStringLiteral("'%1' is not a valid FTP encryption").arg(text));
}

QString ftpModeText(FtpDataMode mode)
{
    return mode == FtpDataMode::Passive ? QStringLiteral("passive") : QStringLiteral("active");
}

QString ftpSecurityText(FtpSecurity security)
{
    return security == FtpSecurity::ExplicitTls ? QStringLiteral("tls") : QStringLiteral("none");
}

bool setJobField(TMlb2 &table, const QString &name, const QString &value)
{
    if (table.FieldPosition(name) == 0 && !table.AddField(name))
        return false;
    return table.SetFieldByName(name, value);
}

} // namespace norvex::shared
