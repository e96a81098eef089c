// Event log entries on standard error with their journal priority, only when standard error
// is the journal stream systemd names.

#include "TestFiles.h"
#include "platform/JournalStream.h"
#include "shared/EventLog.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace norvex;
using norvex::tests::readBytes;

namespace {

QByteArray streamOf(const QString &path)
{
    struct stat st = {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return "0:0";
    return QByteArray::number(qulonglong(st.st_dev)) + ':' +
           QByteArray::number(qulonglong(st.st_ino));
}

// Standard error goes to a file while an entry is written, then back.
class StderrToFile
{
public:
    explicit StderrToFile(const QString &path)
    {
        std::fflush(stderr);
        m_saved = ::dup(STDERR_FILENO);
        const int fd = ::open(QFile::encodeName(path).constData(),
                              O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ::dup2(fd, STDERR_FILENO);
        ::close(fd);
    }
    ~StderrToFile()
    {
        std::fflush(stderr);
        ::dup2(m_saved, STDERR_FILENO);
        ::close(m_saved);
    }
    StderrToFile(const StderrToFile &) = delete;
    StderrToFile &operator=(const StderrToFile &) = delete;

private:
    int m_saved = -1;
};

} // namespace

class JournalTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void cleanup() { qunsetenv("JOURNAL_STREAM"); }

    void entriesCarryTheirPriority_data()
    {
        QTest::addColumn<int>("level");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("logFolder");

        QTest::newRow("information")
            << shared::LogInformation << "日次 バックアップ処理を開始しました。"
            << QByteArray("<6>日次 バックアップ処理を開始しました。\n") << true;
        QTest::newRow("warning") << shared::LogWarning << "日次 /mnt/usb が見つかりません。"
                                 << QByteArray("<4>日次 /mnt/usb が見つかりません。\n") << true;
        // One line per entry, the additional text after its tab, as the day file has it.
        QTest::newRow("error, two lines") << shared::LogError << "日次 失敗\tline 1\r\nline 2"
                                          << QByteArray("<3>日次 失敗\tline 1\\nline 2\n") << true;
        QTest::newRow("no Log folder") << shared::LogError << "lost in the file"
                                       << QByteArray("<3>lost in the file\n") << false;
        QTest::newRow("other level") << 10 << "not an entry" << QByteArray() << true;
    }

    void entriesCarryTheirPriority()
    {
        QFETCH(int, level);
        QFETCH(QString, text);
        QFETCH(QByteArray, line);
        QFETCH(bool, logFolder);
        const QString home =
            m_dir.path() + QLatin1Char('/') + QTest::currentDataTag() + QLatin1Char('/');
        QDir().mkpath(logFolder ? home + QStringLiteral("Log") : home);
        const QString journal = home + QStringLiteral("journal");
        {
            StderrToFile redirect(journal);
            qputenv("JOURNAL_STREAM", streamOf(journal));
            shared::WriteLog(home, level, text, QDateTime::currentDateTime());
        }
        QCOMPARE(readBytes(journal), line);
        if (logFolder && !line.isEmpty())
            QVERIFY(readBytes(shared::logFilePath(home, QDate::currentDate()))
                        .contains(shared::logStoredText(text).toUtf8()));
    }

    void onlyTheJournalGetsThem_data()
    {
        QTest::addColumn<QByteArray>("journalStream"); // "@" stands for another file's

        // Inherited from a service further up, while stderr is a terminal or a pipe.
        QTest::newRow("another file") << QByteArray("@");
        QTest::newRow("not set") << QByteArray();
        QTest::newRow("no inode") << QByteArray("2049");
        QTest::newRow("not numbers") << QByteArray("a:b");
        QTest::newRow("three parts") << QByteArray("1:2:3");
    }

    void onlyTheJournalGetsThem()
    {
        QFETCH(QByteArray, journalStream);
        const QString home = m_dir.path() + QStringLiteral("/quiet/");
        QDir().mkpath(home + QStringLiteral("Log"));
        const QString err = home + QStringLiteral("stderr");
        const QString other = home + QStringLiteral("other");
        tests::writeBytes(other, "");
        {
            StderrToFile redirect(err);
            if (journalStream == "@")
                qputenv("JOURNAL_STREAM", streamOf(other));
            else if (!journalStream.isNull())
                qputenv("JOURNAL_STREAM", journalStream);
            QVERIFY(!platform::stderrIsJournal());
            shared::WriteLog(home, shared::LogError, QStringLiteral("quiet"),
                             QDateTime::currentDateTime());
        }
        QCOMPARE(readBytes(err), QByteArray());
    }
};

QTEST_GUILESS_MAIN(JournalTest)
#include "JournalTest.moc"
