#include "platform/MountTable.h"

#include <QtTest>

#include <sys/stat.h>
#include <sys/sysmacros.h>

using namespace norvex::platform;

class MountTableTest : public QObject
{
    Q_OBJECT

private slots:
    // One mountinfo line each: whether a walk must stay out of it, and the decoded path.
    void findsVirtualFileSystemsByDevice_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("isVirtual");
        QTest::addColumn<QString>("path");
        QTest::newRow("proc") << QByteArray("22 1 0:21 / /proc rw,nosuid shared:12 - proc proc rw")
                              << true << "/proc";
        QTest::newRow("sysfs, no optional fields")
            << QByteArray("23 1 0:22 / /sys rw - sysfs sysfs rw") << true << "/sys";
        QTest::newRow("several optional fields")
            << QByteArray("30 23 0:26 / /sys/fs/cgroup rw shared:9 master:2 - cgroup2 cgroup2 rw")
            << true << "/sys/fs/cgroup";
        QTest::newRow("devtmpfs") << QByteArray("24 1 0:5 / /dev rw - devtmpfs udev rw") << true
                                  << "/dev";
        QTest::newRow("tmpfs of /run")
            << QByteArray("25 1 0:23 / /run rw - tmpfs tmpfs rw") << true << "/run";
        QTest::newRow("tmpfs below /run")
            << QByteArray("40 25 0:41 / /run/user/1000 rw - tmpfs tmpfs rw") << true
            << "/run/user/1000";
        QTest::newRow("tmpfs on /tmp holds real files")
            << QByteArray("41 1 0:42 / /tmp rw - tmpfs tmpfs rw") << false << "/tmp";
        QTest::newRow("tmpfs beside /run")
            << QByteArray("42 1 0:43 / /runner rw - tmpfs tmpfs rw") << false << "/runner";
        QTest::newRow("real disk")
            << QByteArray("26 1 8:1 / / rw - ext4 /dev/sda1 rw") << false << "/";
        QTest::newRow("escaped path")
            << QByteArray("50 26 0:50 / /home/a\\040b\\011c\\134d rw - proc proc rw") << true
            << "/home/a b\tc\\d";
        QTest::newRow("a dash in a path")
            << QByteArray("51 26 0:51 / /a-b rw - debugfs - rw") << true << "/a-b";
    }
    void findsVirtualFileSystemsByDevice()
    {
        QFETCH(QByteArray, line);
        QFETCH(bool, isVirtual);
        QFETCH(QString, path);
        const MountTable table =
            MountTable::fromMountInfo("garbage line\n" + line + "\n\n1 2 x:y / /z rw - proc p\n");
        QCOMPARE(table.mounts().size(), 1);
        QCOMPARE(table.mounts().first().path, path);
        const QList<QByteArray> numbers = line.split(' ')[2].split(':');
        const quint64 device = makedev(numbers[0].toUInt(), numbers[1].toUInt());
        QCOMPARE(table.mounts().first().device, device);
        const MountPoint *found = table.virtualFileSystem(device);
        QCOMPARE(found != nullptr, isVirtual);
        if (found)
            QCOMPARE(found->path, path);
        QVERIFY(!table.virtualFileSystem(device + 1));
    }

    // The kernel's own table knows /proc by the device stat() reports for it.
    void readsThisProcessTable()
    {
        struct stat st;
        QVERIFY(::stat("/proc", &st) == 0);
        const MountTable table = MountTable::current();
        const MountPoint *proc = table.virtualFileSystem(quint64(st.st_dev));
        QVERIFY(proc);
        QCOMPARE(proc->fileSystem, QStringLiteral("proc"));
        QVERIFY(::stat(QFile::encodeName(QDir::currentPath()).constData(), &st) == 0);
        QVERIFY(!table.virtualFileSystem(quint64(st.st_dev)));
    }
};

QTEST_GUILESS_MAIN(MountTableTest)
#include "MountTableTest.moc"
