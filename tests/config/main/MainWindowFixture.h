#pragma once

// What the main window tests share: a window on the test's installation folder with a
// QueuePrompter, a ManualClock and a private registry of the built-in service manager;
// job table rows; the real NorvexService registered there; clicks on the real widgets.

#include "config/FrmMain.h"
#include "config/support/QueuePrompter.h"
#include "platform/ServiceManagerBuiltin.h"
#include "platform/ServiceProcess.h"
#include "shared/Clock.h"
#include "shared/JobTable.h"
#include "shared/mlb2.h"

#include <QDir>
#include <QFile>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>
#include <csignal>
#include <memory>

namespace norvex::testing {

struct Job
{
    QString name;
    QString destination = QStringLiteral("Local");
    QString interval = QStringLiteral("1");
    QString unit = QStringLiteral("d");
    QString next = QStringLiteral("2099/01/01 03:00:00");
};

inline QString home()
{
    return qEnvironmentVariable("NORVEX_HOME");
}

inline QString jobPath()
{
    return shared::jobTablePath(home());
}

inline void writeJobs(const QList<Job> &jobs)
{
    shared::TMlb2 table;
    shared::setupJobTable(table);
    for (const QString &field : shared::jobFieldNames())
        table.AddField(field);
    for (const Job &job : jobs) {
        table.AppendRecord();
        for (const QString &field : shared::jobFieldNames())
            table.SetFieldByName(field, QStringLiteral("0"));
        table.SetFieldByName(QStringLiteral("backupname"), job.name);
        table.SetFieldByName(QStringLiteral("backuplist"), QStringLiteral("/srv/") + job.name);
        table.SetFieldByName(QStringLiteral("tobackup"), job.destination);
        table.SetFieldByName(QStringLiteral("localbackupdir"), QStringLiteral("/nonexistent"));
        table.SetFieldByName(QStringLiteral("backupint"), job.interval);
        table.SetFieldByName(QStringLiteral("backuptani"), job.unit);
        table.SetFieldByName(QStringLiteral("backupdt"), job.next);
        table.SetFieldByName(QStringLiteral("op3val"), QStringLiteral("2"));
    }
    QVERIFY2(table.SaveToFile(jobPath()), qPrintable(table.LastError()));
}

// "name=backupdt" of every job in the file.
inline QStringList jobsInFile()
{
    shared::TMlb2 table;
    shared::setupJobTable(table);
    table.LoadFromFile(jobPath());
    QStringList out;
    for (bool more = table.First(); more && !table.Eof(); more = table.Next())
        out << table.FieldByName(QStringLiteral("backupname")) + QLatin1Char('=') +
                   table.FieldByName(QStringLiteral("backupdt"));
    return out;
}

inline QString servicePath()
{
    return qEnvironmentVariable("NORVEX_BINARY_DIR") + QStringLiteral("/service/NorvexService");
}

class MainWindowFixture
{
public:
    // Each case starts on an installation folder without job table and settings.
    MainWindowFixture() : clock(QDateTime(QDate(2024, 5, 10), QTime(9, 30)))
    {
        QFile::remove(jobPath());
        QDir(jobPath()).removeRecursively();
        QFile::remove(home() + QStringLiteral("Norvex.ini"));
    }
    ~MainWindowFixture() { killService(); }

    // A service registered in the private registry, running `executable` on this folder.
    void registerService(const QString &executable = servicePath())
    {
        platform::BuiltinServiceManager(registry.path())
            .install({QStringLiteral("Norvex"), QStringLiteral("Norvex"), executable, home()});
    }

    // The window, shown (its first showing runs).
    config::TFrmMain &open()
    {
        window = std::make_unique<config::TFrmMain>(&prompts, &clock, registry.path());
        window->show();
        return *window;
    }

    template <typename T = QWidget>
    T *find(const char *name) const
    {
        T *widget = window->findChild<T *>(QLatin1String(name));
        if (!widget)
            qWarning("no widget %s", name);
        return widget;
    }

    QString currentPage() const
    {
        return find<QStackedWidget>("PagMain")->currentWidget()->objectName();
    }

    QTreeWidgetItem *node(int number) const
    {
        QTreeWidget *tree = find<QTreeWidget>("TreEnv");
        QTreeWidgetItemIterator it(tree);
        for (; *it; ++it)
            if ((*it)->data(0, Qt::UserRole).toInt() == number)
                return *it;
        return nullptr;
    }

    int highlightedNode() const
    {
        QTreeWidgetItem *current = find<QTreeWidget>("TreEnv")->currentItem();
        return current ? current->data(0, Qt::UserRole).toInt() : -1;
    }

    void clickNode(int number)
    {
        QTreeWidget *tree = find<QTreeWidget>("TreEnv");
        QTest::mouseClick(tree->viewport(), Qt::LeftButton, {},
                          tree->visualItemRect(node(number)).center());
    }

    // No test leaves a service running, whatever failed.
    void killService()
    {
        const platform::ServiceLockState lock =
            platform::readServiceLock(registry.path() + QStringLiteral("/Norvex.lock"));
        if (lock.held && lock.pid > 0)
            ::kill(lock.pid, SIGKILL);
    }

    QTemporaryDir registry;
    QueuePrompter prompts;
    shared::ManualClock clock;
    std::unique_ptr<config::TFrmMain> window;
};

} // namespace norvex::testing
