#include "platform/Paths.h"

#include <QtTest>
#include <cerrno>

using namespace norvex::platform;

class PathsTest : public QObject
{
    Q_OBJECT

private slots:
    void installFolderFollowsNorvexHomeWithTrailingSlash()
    {
        qputenv("NORVEX_HOME", "/srv/norvex");
        QCOMPARE(installFolder(), QStringLiteral("/srv/norvex/"));
        qputenv("NORVEX_HOME", "/srv/norvex/");
        QCOMPARE(installFolder(), QStringLiteral("/srv/norvex/"));
    }

    void installFolderDefaultsToTheExecutablesFolder()
    {
        qunsetenv("NORVEX_HOME");
        QCOMPARE(installFolder(), QCoreApplication::applicationDirPath() + QLatin1Char('/'));
    }

    void tempFolderPrefersTempThenTmpdir()
    {
        qputenv("TEMP", "/a");
        qputenv("TMPDIR", "/b");
        QCOMPARE(defaultTempFolder(), QStringLiteral("/a"));
        qunsetenv("TEMP");
        QCOMPARE(defaultTempFolder(), QStringLiteral("/b"));
        qunsetenv("TMPDIR");
        QCOMPARE(defaultTempFolder(), QStringLiteral("/tmp"));
    }

    void systemErrorTextIsReadable()
    {
        QCOMPARE(systemErrorText(ENOENT), QStringLiteral("No such file or directory"));
    }
};

QTEST_GUILESS_MAIN(PathsTest)
#include "PathsTest.moc"
