// The real service and what its archive step meets in the file system: a temporary folder
// that is also the destination, sources that are gone, and virtual file systems (/proc, and
// a sysfs mounted inside a source tree in a user namespace).

#include "archivers/ExcludeTree.h"
#include "service/support/Archives.h"
#include "service/support/ServiceRunner.h"
#include "shared/ExcludePatterns.h"
#include "shared/JobTable.h"

#include <QtTest>

#include <unistd.h>

using namespace norvex;
using namespace norvex::testing;

namespace {

const QString kError = QStringLiteral("^E\\tCreateArc Error 圧縮処理中にエラーが発生しました。\\t");
const QMap<QString, QByteArray> kData = {{QStringLiteral("a.txt"), "alpha"},
                                         {QStringLiteral("sub/b.txt"), "beta"}};

QString abnormalEnd(const QString &name)
{
    return QStringLiteral("^E\\t") + esc(name) +
           QStringLiteral(" バックアップ処理は異常終了しました。$");
}

QString skippedMount(const QString &name, const QString &path, const QString &fileSystem)
{
    return QStringLiteral("^I\\t") + esc(name) +
           esc(QStringLiteral(" 仮想ファイルシステムのマウントポイントを圧縮対象から除外しました。"
                              "\tマウントポイント ") +
               path + QStringLiteral(" (") + fileSystem + QStringLiteral(")")) +
           QLatin1Char('$');
}

// An installation folder whose temporary folder is tmp/, with a data folder to back up,
// and jobs due a minute ago every hour.
struct Installation
{
    QString home;
    QString tmp;
    QString data;
    QString due = shared::formatDateTime(QDateTime::currentDateTime().addSecs(-60));
    QString next = shared::formatDateTime(shared::readDateTime(due).addSecs(3600));

    explicit Installation(const QString &name)
        : home(makeInstallFolder(name)), tmp(home + QStringLiteral("tmp")),
          data(home + QStringLiteral("data"))
    {
        QDir().mkpath(tmp);
        writeFile(home + QStringLiteral("Norvex.ini"),
                  "[Option]\r\nTmpFolder=" + tmp.toUtf8() + "\r\n");
        for (auto it = kData.begin(); it != kData.end(); ++it)
            writeFile(data + QLatin1Char('/') + it.key(), it.value());
    }

    JobValues job(const QString &name, const QStringList &sources, const QString &dest,
                  int generations = 0, bool sevenZ = false) const
    {
        JobValues j = fullJob(name, sources, dest, due);
        j[QStringLiteral("backupint")] = QStringLiteral("1");
        j[QStringLiteral("backuptani")] = QStringLiteral("h");
        j[QStringLiteral("op3")] = generations > 0 ? QStringLiteral("-1") : QStringLiteral("0");
        j[QStringLiteral("op3val")] = generations > 0 ? QString::number(generations) : QString();
        j[QStringLiteral("op4")] = sevenZ ? QStringLiteral("1") : QStringLiteral("0");
        return j;
    }

    // Runs the service until every job's run has ended (or the service has); the log then,
    // empty when a run did not end.
    QStringList run(ServiceRunner &service, const QList<JobValues> &jobs) const
    {
        if (!writeJobs(home, jobs) || !service.start())
            return {};
        const auto allEnded = [&] {
            const QStringList all = entries(home);
            for (const JobValues &j : jobs)
                if (countMatching(all, closingFor(j[QStringLiteral("backupname")], next)) == 0)
                    return false;
            return true;
        };
        service.waitFor([&] { return allEnded() || !service.running(); }, 120000);
        const bool ended = allEnded();
        service.stop();
        if (!ended)
            qWarning("not every run ended; the log:\n%s", qPrintable(entries(home).join('\n')));
        return ended ? entries(home) : QStringList();
    }
};

// The files of folder that belong to archive name F (its generations, ".part", temporary
// names), with their bytes.
QMap<QString, QByteArray> filesOf(const QString &folder, const QString &fileName)
{
    const QString dot = fileName.left(fileName.lastIndexOf(QLatin1Char('.')));
    QMap<QString, QByteArray> out;
    const QMap<QString, QByteArray> all = filesBelow(folder);
    for (auto it = all.begin(); it != all.end(); ++it)
        if (it.key().startsWith(fileName) || it.key().startsWith(dot + QLatin1Char('-')))
            out.insert(it.key(), it.value());
    return out;
}

bool writeFiles(const QString &folder, const QMap<QString, QByteArray> &files)
{
    for (auto it = files.begin(); it != files.end(); ++it)
        if (!writeFile(folder + QLatin1Char('/') + it.key(), it.value()))
            return false;
    return true;
}

QMap<QString, QByteArray> generationFiles(const QString &fileName, int count)
{
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    QMap<QString, QByteArray> out;
    for (int k = 1; k <= count; ++k)
        out[fileName.left(dot) + QStringLiteral("-%1-").arg(k) + fileName.mid(dot)] =
            "generation " + QByteArray::number(k) + " of " + fileName.toUtf8();
    return out;
}

// A process id that no process has now.
qint64 deadPid()
{
    QProcess p;
    p.start(QStringLiteral("true"), {});
    p.waitForStarted(10000);
    const qint64 pid = p.processId();
    p.waitForFinished(10000);
    return pid;
}

} // namespace

class ServiceSourcesTest : public QObject
{
    Q_OBJECT

private slots:
    // Temporary folder = destination: a run that fails (an unreadable source) leaves every
    // stored archive byte for byte, and one that succeeds stores and rotates as usual.
    void storedArchivesSurviveInTheTemporaryFolder()
    {
        const Installation in(QStringLiteral("sametmp"));
        const QString dest = in.tmp;
        struct Case
        {
            QString name;
            int generations;
            bool sevenZ;
            bool fails;
        };
        const QList<Case> cases = {{QStringLiteral("fail0"), 0, false, true},
                                   {QStringLiteral("fail3"), 3, false, true},
                                   {QStringLiteral("good0"), 0, false, false},
                                   {QStringLiteral("good3"), 3, false, false},
                                   {QStringLiteral("good7z"), 0, true, false}};
        QList<JobValues> jobs;
        QMap<QString, QMap<QString, QByteArray>> before;
        for (const Case &c : cases) {
            const QString f = QStringLiteral("Norvex-") + c.name +
                              (c.sevenZ ? QStringLiteral(".7z") : QStringLiteral(".zip"));
            QMap<QString, QByteArray> stored =
                c.generations == 0 ? QMap<QString, QByteArray>{{f, "stored " + f.toUtf8()}}
                                   : generationFiles(f, 2);
            QVERIFY(writeFiles(dest, stored));
            before[c.name] = stored;
            jobs << in.job(c.name,
                           c.fails ? QStringList{in.data, kUnreadable} : QStringList{in.data}, dest,
                           c.generations, c.sevenZ);
        }
        // Temporary archives of fail0: one of a process that is gone (removed), one of a
        // live process (this test: kept), and a name of another pattern (kept).
        const QString stale = QStringLiteral("Norvex-fail0.zip.%1.tmp").arg(deadPid());
        const QMap<QString, QByteArray> kept = {
            {QStringLiteral("Norvex-fail0.zip.%1.tmp").arg(QCoreApplication::applicationPid()),
             "a live service's"},
            {QStringLiteral("Norvex-fail0.zip.1x.tmp"), "not ours"}};
        QVERIFY(writeFiles(dest, kept) && writeFile(dest + QLatin1Char('/') + stale, "stale"));
        before[QStringLiteral("fail0")].insert(kept);

        ServiceRunner service(in.home);
        const QStringList all = in.run(service, jobs);
        QVERIFY(!all.isEmpty());

        for (const Case &c : cases) {
            const QString f = QStringLiteral("Norvex-") + c.name +
                              (c.sevenZ ? QStringLiteral(".7z") : QStringLiteral(".zip"));
            const QMap<QString, QByteArray> after = filesOf(dest, f);
            if (c.fails) {
                QVERIFY(hasOne(all, abnormalEnd(c.name)));
                QCOMPARE(after, before[c.name]);
                continue;
            }
            QVERIFY(hasOne(all, QStringLiteral("^I\\t") + c.name +
                                    QStringLiteral(" リモートコピー処理を終了しました。")));
            const QString newest = c.generations == 0 ? f : generationFiles(f, 1).firstKey();
            QVERIFY(testArchive(dest + QLatin1Char('/') + newest));
            QVERIFY(holdsExactly(
                extract(dest + QLatin1Char('/') + newest, in.home + QStringLiteral("x")), kData));
            const QStringList names = after.keys();
            const QStringList expected =
                c.generations == 0 ? QStringList{f} : generationFiles(f, 3).keys();
            QCOMPARE(names, expected);
            if (c.generations == 3) {
                const QList<QByteArray> old = before[c.name].values();
                QCOMPARE(after.value(expected[1]), old[0]);
                QCOMPARE(after.value(expected[2]), old[1]);
            }
        }
    }

    // A missing source is a warning and the others are stored; when every source is gone
    // the archive step fails and the stored generations are as they were (ZIP and 7z).
    void missingSourcesAreWarnedAndAnArchiveOfNothingIsNotStored()
    {
        const Installation in(QStringLiteral("missing"));
        const QString gone = in.home + QStringLiteral("unmounted disk");
        const QString renamed = in.home + QStringLiteral("old name");
        QList<JobValues> jobs;
        QMap<QString, QMap<QString, QByteArray>> before;
        for (const bool sevenZ : {false, true}) {
            const QString ext = sevenZ ? QStringLiteral(".7z") : QStringLiteral(".zip");
            const QString half = sevenZ ? QStringLiteral("half7") : QStringLiteral("half");
            const QString none = sevenZ ? QStringLiteral("none7") : QStringLiteral("none");
            jobs << in.job(half, {gone, in.data}, in.home + half, 0, sevenZ);
            QVERIFY(QDir().mkpath(in.home + half));
            jobs << in.job(none, {gone, renamed}, in.home + none, 3, sevenZ);
            before[none] = generationFiles(QStringLiteral("Norvex-") + none + ext, 3);
            QVERIFY(writeFiles(in.home + none, before[none]));
        }
        ServiceRunner service(in.home);
        const QStringList all = in.run(service, jobs);
        QVERIFY(!all.isEmpty());

        const QString warning = QStringLiteral(
            " バックアップ元が見つからないため、圧縮対象から除外しました。\tバックアップ元 ");
        for (const JobValues &j : std::as_const(jobs)) {
            const QString name = j[QStringLiteral("backupname")];
            const QString folder = in.home + name;
            QVERIFY(hasOne(all, QStringLiteral("^W\\t") + esc(name + warning + gone) +
                                    QLatin1Char('$')));
            if (name.startsWith(QLatin1String("half"))) {
                const QString f = folder + QStringLiteral("/Norvex-") + name +
                                  (name.endsWith(QLatin1Char('7')) ? QStringLiteral(".7z")
                                                                   : QStringLiteral(".zip"));
                QVERIFY(holdsExactly(extract(f, in.home + QStringLiteral("x")), kData));
                QCOMPARE(countMatching(all, QStringLiteral("^E\\t") + esc(name)), 0);
                continue;
            }
            QVERIFY(hasOne(all, QStringLiteral("^W\\t") + esc(name + warning + renamed) +
                                    QLatin1Char('$')));
            QVERIFY(hasOne(all, abnormalEnd(name)));
            QCOMPARE(filesBelow(folder), before[name]);
        }
        QCOMPARE(
            countMatching(
                all, kError +
                         esc(QStringLiteral("Exception : バックアップ元がひとつも見つからないため、"
                                            "アーカイブを作成しません。 「") +
                             gone + QStringLiteral("」 「") + renamed + QStringLiteral("」")) +
                         QLatin1Char('$')),
            2);
        QCOMPARE(QDir(in.tmp).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
    }

    // The job's patterns reach both writers: the archive holds what they leave, the
    // compression entry counts what they left out, an excluded folder that cannot be read
    // costs nothing; a job without patterns keeps its entry as it was (ZIP and 7z).
    void excludedItemsAreLeftOutAndCounted()
    {
        const Installation in(QStringLiteral("exclude"));
        const excludetree::Removal removal{in.data + QStringLiteral("/node_modules")};
        QVERIFY(writeFile(in.data + QStringLiteral("/sub/b.tmp"), "temporary") &&
                writeFile(in.data + QStringLiteral("/node_modules/pkg.js"), "js") &&
                excludetree::putTooDeep(in.data + QStringLiteral("/node_modules/deep")));
        const QString dest = in.home + QStringLiteral("dest");
        QVERIFY(QDir().mkpath(dest));
        QList<JobValues> jobs;
        for (const bool sevenZ : {false, true}) {
            JobValues j = in.job(sevenZ ? QStringLiteral("ex7") : QStringLiteral("ex"), {in.data},
                                 dest, 0, sevenZ);
            j[QLatin1String(shared::ExcludeField)] =
                shared::encodeExcludes({QStringLiteral("node_modules/"), QStringLiteral("*.tmp"),
                                        QStringLiteral("[unclosed")});
            jobs << j;
        }
        // Nothing to leave out: no clause.
        jobs << in.job(QStringLiteral("plain"), {in.home + QStringLiteral("Norvex.ini")}, dest);
        ServiceRunner service(in.home);
        const QStringList all = in.run(service, jobs);
        QVERIFY(!all.isEmpty());
        for (const QString &name : {QStringLiteral("ex"), QStringLiteral("ex7")}) {
            const QString format =
                name == QLatin1String("ex7") ? QStringLiteral("7Z") : QStringLiteral("ZIP");
            QVERIFY(hasOne(all, QStringLiteral("^I\\t") + name + QLatin1Char(' ') + format +
                                    QStringLiteral("形式圧縮処理を終了しました。\\t.*KB"
                                                   "\\\\n除外 ファイル 1 件 フォルダ 1 件$")));
            QVERIFY(hasOne(
                all, QStringLiteral("^W\\t") + name +
                         esc(QStringLiteral(" 除外パターンが正しくないため、使用しません。"
                                            "\t[unclosed 「[」に対応する「]」がありません。")) +
                         QLatin1Char('$')));
            const QString f =
                dest + QStringLiteral("/Norvex-") + name +
                (name == QLatin1String("ex7") ? QStringLiteral(".7z") : QStringLiteral(".zip"));
            QVERIFY(holdsExactly(extract(f, in.home + QStringLiteral("x")), kData));
        }
        QVERIFY(hasOne(all, QStringLiteral("^I\\tplain ZIP形式圧縮処理を終了しました。\\t.* KB$")));
        QCOMPARE(countMatching(all, QStringLiteral("^E\\t")), 0);
    }

    // /proc as a source: not entered, one entry, the other source stored (ZIP and 7z).
    void procIsNotEntered()
    {
        const Installation in(QStringLiteral("proc"));
        QList<JobValues> jobs = {in.job(QStringLiteral("proc"), {QStringLiteral("/proc"), in.data},
                                        in.home + QStringLiteral("dest")),
                                 in.job(QStringLiteral("proc7"),
                                        {in.data, QStringLiteral("/proc/")},
                                        in.home + QStringLiteral("dest"), 0, true)};
        QVERIFY(QDir().mkpath(in.home + QStringLiteral("dest")));
        ServiceRunner service(in.home);
        const QStringList all = in.run(service, jobs);
        QVERIFY(!all.isEmpty());
        for (const QString &f :
             {QStringLiteral("Norvex-proc.zip"), QStringLiteral("Norvex-proc7.7z")}) {
            const QString name = f.section(QLatin1Char('.'), 0, 0).mid(7);
            QVERIFY(
                hasOne(all, skippedMount(name, QStringLiteral("/proc"), QStringLiteral("proc"))));
            QVERIFY(holdsExactly(
                extract(in.home + QStringLiteral("dest/") + f, in.home + QStringLiteral("x")),
                kData));
        }
        QCOMPARE(countMatching(all, QStringLiteral("^E\\t")), 0);
    }

    // A source tree with a sysfs and a tmpfs mounted inside it (in a user and mount
    // namespace of the service's own): the sysfs is skipped, the tmpfs's files are stored.
    void virtualMountsInsideATreeAreSkippedRealOnesStored()
    {
        QByteArray why;
        if (runTool(QStringLiteral("unshare"),
                    {QStringLiteral("-rmn"), QStringLiteral("sh"), QStringLiteral("-c"),
                     QStringLiteral("mount -t sysfs sysfs /sys")},
                    &why) != 0)
            QSKIP(qPrintable(QStringLiteral("no user namespace to mount in: ") +
                             QString::fromLocal8Bit(why)));
        const Installation in(QStringLiteral("mounts"));
        const QString sys = in.data + QStringLiteral("/sys");
        const QString mem = in.data + QStringLiteral("/mem");
        QVERIFY(QDir().mkpath(sys) && QDir().mkpath(mem));
        QVERIFY(QDir().mkpath(in.home + QStringLiteral("dest")));
        const QList<JobValues> jobs = {
            in.job(QStringLiteral("tree"), {in.data}, in.home + QStringLiteral("dest")),
            in.job(QStringLiteral("tree7"), {in.data}, in.home + QStringLiteral("dest"), 0, true)};
        ServiceRunner service(in.home);
        service.setLauncher(
            {QStringLiteral("unshare"), QStringLiteral("-rmn"), QStringLiteral("sh"),
             QStringLiteral("-c"),
             QStringLiteral("mount -t sysfs sysfs \"$0\" && mount -t tmpfs tmpfs \"$1\" && "
                            "echo inner > \"$1/inner.txt\" && shift && exec \"$@\""),
             sys, mem});
        const QStringList all = in.run(service, jobs);
        QVERIFY(!all.isEmpty());
        QMap<QString, QByteArray> expected = kData;
        expected[QStringLiteral("mem/inner.txt")] = "inner\n";
        for (const QString &f :
             {QStringLiteral("Norvex-tree.zip"), QStringLiteral("Norvex-tree7.7z")}) {
            const QString name = f.section(QLatin1Char('.'), 0, 0).mid(7);
            QVERIFY(hasOne(all, skippedMount(name, QDir::cleanPath(sys), QStringLiteral("sysfs"))));
            QVERIFY(holdsExactly(
                extract(in.home + QStringLiteral("dest/") + f, in.home + QStringLiteral("x")),
                expected));
        }
        QCOMPARE(countMatching(all, QStringLiteral("^E\\t")), 0);
    }
};

QTEST_GUILESS_MAIN(ServiceSourcesTest)
#include "ServiceSourcesTest.moc"
