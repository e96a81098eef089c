#pragma once

// Installation folders, day files and the grid's content for the event log page tests.

#include "shared/EventLog.h"

#include <QAbstractItemModel>
#include <QDir>
#include <QFile>
#include <QTableView>

namespace norvex::testing {

inline QDateTime at(int day, int h, int mi = 0, int s = 0, int ms = 0)
{
    return QDateTime(QDate(2024, 5, day), QTime(h, mi, s, ms));
}

// A fresh installation folder with an empty Log/ below the test's NORVEX_HOME.
inline QString freshHome(const QString &name)
{
    const QString home =
        qEnvironmentVariable("NORVEX_HOME") + QLatin1Char('/') + name + QLatin1Char('/');
    QDir(home).removeRecursively();
    QDir().mkpath(home + QStringLiteral("Log"));
    return home;
}

inline bool writeLogFile(const QString &home, const QString &name, const QByteArray &data,
                         bool append = false)
{
    QFile file(home + QStringLiteral("Log/") + name);
    return file.open(append ? QIODevice::Append : QIODevice::WriteOnly) &&
           file.write(data) == data.size();
}

// The grid's rows as "kind|date|text", or one column of it.
inline QStringList gridRows(QWidget &page, int column = -1)
{
    QStringList rows;
    const QAbstractItemModel *model =
        page.findChild<QTableView *>(QStringLiteral("GrdLog"))->model();
    for (int r = 0; r < model->rowCount(); ++r) {
        QStringList cells;
        for (int c = 0; c < 3; ++c) {
            if (column < 0 || c == column)
                cells << model->index(r, c).data().toString();
        }
        rows << cells.join(QLatin1Char('|'));
    }
    return rows;
}

} // namespace norvex::testing
