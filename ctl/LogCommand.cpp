// log: the event log, newest last.
#include "ctl/Ctl.h"

#include "shared/EventLog.h"
#include "shared/LogReader.h"

#include <QThread>

namespace norvex::ctl {

namespace {

struct Entry
{
    QString category;
    QString date;
    QString text;
    QString additional;
};

struct Filter
{
    QString since; // "yyyy/MM/dd hh:mm" prefix of logdate, empty: all
    QString job;
    QString levels; // the categories shown
};

bool passes(const Filter &filter, const Entry &entry)
{
    if (!filter.since.isEmpty() && entry.date < filter.since)
        return false;
    if (!filter.job.isEmpty() && !entry.text.startsWith(filter.job + QLatin1Char(' ')))
        return false;
    return filter.levels.contains(entry.category);
}

// The entries oldest first.
QList<Entry> read(shared::LogReader &reader, const QString &folder, const QString &bound)
{
    shared::TMlb2 log;
    reader.reload(log, folder, bound);
    QList<Entry> entries;
    for (int n = log.RecordCount(); n >= 1; --n) {
        log.GoToRecord(n);
        entries << Entry{log.FieldByName(QStringLiteral("logcategory")),
                         log.FieldByName(QStringLiteral("logdate")),
                         log.FieldByName(QStringLiteral("logtext")),
                         log.FieldByName(QStringLiteral("logtextadd"))};
    }
    return entries;
}

void print(const Entry &entry)
{
    QString text = entry.date + QLatin1Char(' ') + entry.category + QLatin1Char(' ') +
                   shared::logTextForDisplay(entry.text);
    if (!entry.additional.isEmpty())
        text +=
            QStringLiteral("\n    ") + shared::logTextForDisplay(entry.additional)
                                           .replace(QLatin1String("\r\n"), QLatin1String("\n    "));
    out(text + QLatin1Char('\n'));
}

} // namespace

int logCommand(const Context &context, const QStringList &words)
{
    const Arguments args(words, {QStringLiteral("follow")},
                         {QStringLiteral("since"), QStringLiteral("job"), QStringLiteral("level")});
    args.expectPositional(0, 0, QString());
    Filter filter;
    QString bound;
    if (args.has(QStringLiteral("since"))) {
        const QString text = args.value(QStringLiteral("since"));
        QDateTime since = QDateTime::fromString(text, QStringLiteral("yyyy/MM/dd HH:mm"));
        if (!since.isValid())
            since = QDateTime(QDate::fromString(text, QStringLiteral("yyyy/MM/dd")), QTime(0, 0));
        if (!since.isValid())
            throw UsageError(QStringLiteral(
                "--since は yyyy/mm/dd または \"yyyy/mm/dd hh:mm\" で指定してください。"));
        filter.since = since.toString(QStringLiteral("yyyy/MM/dd HH:mm"));
        bound = since.toString(QStringLiteral("yyyyMMdd"));
    }
    filter.job = args.value(QStringLiteral("job"));
    // A level shows its entries and the more severe ones.
    const QString level = args.value(QStringLiteral("level"), QStringLiteral("I")).toUpper();
    static const QString order = QStringLiteral("EWI");
    if (level.size() != 1 || !order.contains(level))
        throw UsageError(QStringLiteral("--level は E、W、I のいずれかで指定してください。"));
    filter.levels = order.left(order.indexOf(level) + 1);

    shared::LogReader reader;
    QList<Entry> entries = read(reader, context.installFolder(), bound);
    for (const Entry &entry : entries)
        if (passes(filter, entry))
            print(entry);
    if (!args.has(QStringLiteral("follow")))
        return Success;
    // What was printed last; entries of one millisecond are told apart by their count.
    QString last = entries.isEmpty() ? QString() : entries.last().date;
    qsizetype atLast = 0;
    for (const Entry &entry : entries)
        atLast += entry.date == last;
    for (;;) {
        QThread::msleep(1000);
        entries = read(reader, context.installFolder(), bound);
        qsizetype seen = 0;
        QString newest = last;
        qsizetype atNewest = atLast;
        for (const Entry &entry : entries) {
            if (entry.date < last)
                continue;
            if (entry.date == last && ++seen <= atLast)
                continue;
            if (passes(filter, entry))
                print(entry);
            if (entry.date == newest) {
                ++atNewest;
            } else {
                newest = entry.date;
                atNewest = 1;
            }
        }
        last = newest;
        atLast = atNewest;
    }
}

} // namespace norvex::ctl
