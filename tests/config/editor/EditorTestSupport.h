#pragma once

// Finding the job editor's inputs by their component names, and reading the job table file.

#include "config/DestinationSubPage.h"
#include "shared/JobTable.h"
#include "shared/mlb2.h"

#include <QDir>
#include <QTest>
#include <QWidget>

namespace norvex::testing {

// The input `base` ("EdtSFTPHost") of the add page, or its "Mod" twin on the change page.
template <class T>
T *input(QWidget &page, const char *base, bool change = false)
{
    const QString name = config::componentName(QString::fromLatin1(base), change);
    T *w = page.findChild<T *>(name);
    if (!w)
        qFatal("no widget %s", qPrintable(name));
    return w;
}

// A fresh installation folder with an empty job table, below the test's NORVEX_HOME.
inline QString freshInstallFolder(const QString &name)
{
    const QString folder =
        qEnvironmentVariable("NORVEX_HOME") + QLatin1Char('/') + name + QLatin1Char('/');
    QDir(folder).removeRecursively();
    QDir().mkpath(folder);
    shared::ensureJobTable(folder);
    return folder;
}

inline shared::TMlb2 loadJobFile(const QString &folder)
{
    shared::TMlb2 table;
    shared::setupJobTable(table);
    table.LoadFromFile(shared::jobTablePath(folder));
    return table;
}

inline QString jobField(const QString &folder, int record, const QString &field)
{
    shared::TMlb2 table = loadJobFile(folder);
    table.GoToRecord(record);
    return record <= table.RecordCount() ? table.FieldByName(field) : QString();
}

} // namespace norvex::testing
