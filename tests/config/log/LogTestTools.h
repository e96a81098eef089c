#pragma once

// Day files and grid reading for the event log page tests.

#include "shared/EventLog.h"

#include <QAbstractItemModel>
#include <QFile>
#include <QTableView>
#include <QWidget>

namespace norvex::testing {

inline QDateTime at(int y, int mo, int d, int h = 12, int mi = 0, int s = 0, int ms = 0)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms));
}

// Raw bytes into installFolder + "Log/" + name (appended when `append`).
inline bool writeLogFile(const QString &installFolder, const QString &name, const QByteArray &data,
                         bool append = false)
{
    QFile file(installFolder + QStringLiteral("Log/") + name);
    if (!file.open(append ? QIODevice::Append : QIODevice::WriteOnly))
        return false;
    return file.write(data) == data.size();
}

inline QTableView *grid(QWidget &page)
{
    return page.findChild<QTableView *>(QStringLiteral("GrdLog"));
}

// The grid's rows as "kind|date|text".
inline QStringList gridRows(QWidget &page)
{
    QStringList rows;
    const QAbstractItemModel *model = grid(page)->model();
    for (int r = 0; r < model->rowCount(); ++r) {
        QStringList cells;
        for (int c = 0; c < model->columnCount(); ++c)
            cells << model->index(r, c).data().toString();
        rows << cells.join(QLatin1Char('|'));
    }
    return rows;
}

// One column of the grid.
inline QStringList gridColumn(QWidget &page, int column)
{
    QStringList cells;
    const QAbstractItemModel *model = grid(page)->model();
    for (int r = 0; r < model->rowCount(); ++r)
        cells << model->index(r, column).data().toString();
    return cells;
}

} // namespace norvex::testing
