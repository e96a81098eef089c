#include "transfer/FtpListing.h"

#include <QList>
#include <QLocale>
#include <QRegularExpression>
#include <QStringList>

namespace norvex::transfer {

qint64 mlstSize(const QString &responseText)
{
    // The facts line starts with a space: " type=file;size=1234;modify=...; name".
    for (const QString &line : responseText.split(QStringLiteral("\r\n"))) {
        if (!line.startsWith(QLatin1Char(' ')))
            continue;
        const QString facts = line.mid(1).section(QLatin1Char(' '), 0, 0);
        for (const QString &fact : facts.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
            const qsizetype eq = fact.indexOf(QLatin1Char('='));
            if (eq < 0 || fact.left(eq).compare(QLatin1String("size"), Qt::CaseInsensitive) != 0)
                continue;
            bool ok = false;
            const qint64 size = fact.mid(eq + 1).toLongLong(&ok);
            if (ok && size >= 0)
                return size;
        }
    }
    return -1;
}

namespace {

bool isMonth(const QString &word)
{
    static const QStringList months = {
        QStringLiteral("jan"), QStringLiteral("feb"), QStringLiteral("mar"), QStringLiteral("apr"),
        QStringLiteral("may"), QStringLiteral("jun"), QStringLiteral("jul"), QStringLiteral("aug"),
        QStringLiteral("sep"), QStringLiteral("oct"), QStringLiteral("nov"), QStringLiteral("dec")};
    return word.size() == 3 && months.contains(word.toLower());
}

qint64 number(const QString &word)
{
    bool ok = false;
    const qint64 n = word.toLongLong(&ok);
    return ok && n >= 0 ? n : -1;
}

qint64 lineSize(const QString &line)
{
    const QStringList words = line.simplified().split(QLatin1Char(' '));
    if (words.size() < 4)
        return -1;
    // Unix: "-rw-r--r-- 1 owner group 1234 Dec  9 21:00 name"; the group is missing on
    // some servers, so the size is found as the number before the month.
    if (words[0].size() >= 10 && words[0].startsWith(QLatin1Char('-'))) {
        // A month counts only with a day and a time or year behind it and a number in
        // front: an owner may be called "may".
        static const QRegularExpression timeOrYear(QStringLiteral("^(\\d{1,2}:\\d{2}|\\d{4})$"));
        for (qsizetype i = 2; i + 2 < words.size(); ++i) {
            const qint64 day = number(words[i + 1]);
            if (isMonth(words[i]) && day >= 1 && day <= 31 &&
                timeOrYear.match(words[i + 2]).hasMatch() && number(words[i - 1]) >= 0)
                return number(words[i - 1]);
        }
        return -1;
    }
    // MS-DOS: "12-09-26  09:00PM  1234 name" ("<DIR>" for a folder).
    static const QRegularExpression date(QStringLiteral("^\\d{2}-\\d{2}-\\d{2,4}$"));
    if (date.match(words[0]).hasMatch())
        return number(words[2]);
    return -1;
}

} // namespace

qint64 listSize(const QByteArray &listing, bool *empty)
{
    const QList<QByteArray> lines = listing.split('\n');
    bool any = false;
    for (const QByteArray &raw : lines) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1String("total ")))
            continue;
        any = true;
        const qint64 size = lineSize(line);
        if (size >= 0) {
            if (empty)
                *empty = false;
            return size;
        }
    }
    if (empty)
        *empty = !any;
    return -1;
}

QList<FtpListEntry> mlsdFiles(const QByteArray &listing)
{
    QList<FtpListEntry> files;
    for (QByteArray line : listing.split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        // "fact=value;fact=value; name": the name follows the first space.
        const qsizetype space = line.indexOf(' ');
        if (space < 0)
            continue;
        FtpListEntry entry;
        entry.name = QString::fromUtf8(line.mid(space + 1));
        bool file = false;
        for (const QByteArray &fact : line.left(space).split(';')) {
            const qsizetype eq = fact.indexOf('=');
            const QByteArray key = fact.left(eq).toLower();
            const QByteArray value = fact.mid(eq + 1);
            if (key == "type")
                file = value.toLower() == "file";
            else if (key == "size")
                entry.size = value.toLongLong();
            else if (key == "modify")
                entry.modified = QDateTime::fromString(QString::fromLatin1(value.left(14)),
                                                       QStringLiteral("yyyyMMddHHmmss"));
        }
        if (entry.modified.isValid())
            entry.modified.setTimeSpec(Qt::UTC);
        if (file && !entry.name.isEmpty())
            files.append(entry);
    }
    return files;
}

QList<FtpListEntry> listFiles(const QByteArray &listing, const QDateTime &now)
{
    static const QRegularExpression unixLine(
        QStringLiteral("^-\\S{9}\\S*\\s+.*?(\\d+)\\s+([A-Za-z]{3})\\s+(\\d{1,2})\\s+"
                       "(\\d{1,2}:\\d{2}|\\d{4}) (.+)$"));
    QList<FtpListEntry> files;
    for (const QByteArray &raw : listing.split('\n')) {
        const QString line = QString::fromUtf8(raw).remove(QLatin1Char('\r'));
        const QRegularExpressionMatch m = unixLine.match(line);
        if (!m.hasMatch() || !isMonth(m.captured(2)))
            continue;
        FtpListEntry entry;
        entry.name = m.captured(5);
        entry.size = number(m.captured(1));
        const QString when = m.captured(4);
        const QString date = m.captured(2) + QLatin1Char(' ') + m.captured(3);
        QLocale c = QLocale::c();
        if (when.contains(QLatin1Char(':'))) {
            for (int year = now.date().year() + 1; year >= now.date().year() - 1; --year) {
                const QDateTime t = c.toDateTime(date + QLatin1Char(' ') + QString::number(year) +
                                                     QLatin1Char(' ') + when,
                                                 QStringLiteral("MMM d yyyy H:mm"));
                if (t.isValid() && t <= now.addDays(1)) {
                    entry.modified = t;
                    break;
                }
            }
        } else {
            entry.modified =
                c.toDateTime(date + QLatin1Char(' ') + when, QStringLiteral("MMM d yyyy"));
        }
        files.append(entry);
    }
    return files;
}

} // namespace norvex::transfer
