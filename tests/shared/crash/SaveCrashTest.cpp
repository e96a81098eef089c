#include "shared/mlb2.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>
#include <sys/stat.h>

using norvex::shared::TMlb2;

namespace {

constexpr int Records = 1500;

// The generation of a whole table written by the crash writer, or -1 when the table is
// not exactly one generation.
long wholeGeneration(const QString &path, QString *why)
{
    TMlb2 t;
    t.SetSeparator(QLatin1Char(','));
    if (!t.LoadFromFile(path)) {
        *why = QStringLiteral("cannot open");
        return -1;
    }
    if (t.FieldCount() != 19 || t.RecordCount() != Records + 1) {
        *why = QStringLiteral("%1 fields, %2 records").arg(t.FieldCount()).arg(t.RecordCount());
        return -1;
    }
    const QString end = t.Cell(1, Records + 1);
    if (!end.startsWith(QStringLiteral("END g"))) {
        *why = QStringLiteral("last record is ") + end.left(40);
        return -1;
    }
    const long gen = end.mid(5).toLong();
    for (int r = 0; r < Records; ++r) {
        const QString expected = QStringLiteral("g%1 r%2 \"q\",\r\n日本").arg(gen).arg(r);
        for (int f = 1; f <= 19; ++f) {
            if (t.Cell(f, r + 1) != expected) {
                *why = QStringLiteral("record %1 field %2 is %3")
                           .arg(r + 1)
                           .arg(f)
                           .arg(t.Cell(f, r + 1).left(40));
                return -1;
            }
        }
    }
    return gen;
}

bool waitForLine(QProcess &p, const char *line)
{
    for (;;) {
        while (p.canReadLine()) {
            if (p.readLine().trimmed() == line)
                return true;
        }
        if (!p.waitForReadyRead(60000))
            return false;
    }
}

} // namespace

class SaveCrashTest : public QObject
{
    Q_OBJECT

private slots:
    void killedWriterLeavesOldOrNewTable()
    {
        const QString writer = qEnvironmentVariable("NORVEX_CRASH_WRITER");
        QVERIFY2(QFileInfo(writer).isExecutable(), "crash writer not found");
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("backuplist.csv"));

        // A first complete table, and how long one save takes (sanitizer builds are slower).
        qint64 savePeriod = 0;
        {
            QProcess p;
            p.start(writer, {path, QString::number(Records), QStringLiteral("0")});
            QVERIFY(p.waitForStarted());
            QVERIFY2(waitForLine(p, "ready"), "writer never got ready");
            QElapsedTimer timer;
            timer.start();
            for (int i = 0; i < 5; ++i)
                QVERIFY2(waitForLine(p, "saved"), "writer does not save");
            savePeriod = qMax<qint64>(1, timer.elapsed() / 5);
            p.kill();
            p.waitForFinished();
        }
        QString why;
        long last = wholeGeneration(path, &why);
        QVERIFY2(last >= 0, qPrintable(why));
        QVERIFY(::chmod(QFile::encodeName(path).constData(), 0640) == 0);

        QRandomGenerator rng(20240520);
        long next = last + 1;
        int changed = 0;
        int tornTemporaries = 0;
        const int rounds = 200;
        for (int round = 0; round < rounds; ++round) {
            QProcess p;
            p.start(writer, {path, QString::number(Records), QString::number(next)});
            QVERIFY(p.waitForStarted());
            QVERIFY2(waitForLine(p, "ready"), "writer never got ready");
            // Anywhere in the first three saves: before, inside and between them.
            QThread::msleep(static_cast<unsigned long>(rng.bounded(3 * savePeriod)));
            p.kill(); // SIGKILL: no chance to clean up
            QVERIFY(p.waitForFinished());
            QCOMPARE(p.exitStatus(), QProcess::CrashExit);

            // The old table, or one of the two the writer saves in turn.
            const long gen = wholeGeneration(path, &why);
            QVERIFY2(gen == last || gen == next || gen == next + 1,
                     qPrintable(QStringLiteral("round %1: %2").arg(round).arg(why)));
            if (gen != last)
                ++changed;
            last = gen;
            next += 2;
            struct stat st
            {
            };
            QVERIFY(::stat(QFile::encodeName(path).constData(), &st) == 0);
            QCOMPARE(st.st_mode & 07777, 0640u);
            // Temporaries of killed saves stay beside the file; count and remove them.
            const QStringList temps =
                QDir(dir.path())
                    .entryList(QStringList{QStringLiteral(".backuplist.csv.tmp-*")},
                               QDir::Files | QDir::Hidden);
            tornTemporaries += temps.size();
            for (const QString &t : temps)
                QFile::remove(dir.filePath(t));
        }
        qInfo("%d kills (one save takes about %lld ms): the table advanced %d times, %d kills "
              "hit a save in progress",
              rounds, static_cast<long long>(savePeriod), changed, tornTemporaries);
        // The kills must have landed both between and inside saves to prove anything.
        QVERIFY(changed > 0);
        QVERIFY(tornTemporaries > 0);
    }
};

QTEST_GUILESS_MAIN(SaveCrashTest)
#include "SaveCrashTest.moc"
