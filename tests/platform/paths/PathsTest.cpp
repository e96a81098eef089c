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

    void installFolderRule_data()
    {
        QTest::addColumn<QString>("norvexHome");
        QTest::addColumn<QString>("executableFolder");
        QTest::addColumn<bool>("root");
        QTest::addColumn<QString>("xdgDataHome");
        QTest::addColumn<QString>("expected");
        const QString usr = QStringLiteral("/usr/lib/norvex");
        const QString folder = QStringLiteral("/home/ann/norvex/build/norvex");
        QTest::newRow("folder install, person") << "" << folder << false << "/x" << folder + "/";
        QTest::newRow("folder install, root") << "" << folder << true << "" << folder + "/";
        QTest::newRow("NORVEX_HOME beats a folder install") << "/srv/n" << folder << false << ""
                                                            << "/srv/n/";
        QTest::newRow("NORVEX_HOME beats a packaged install") << "/srv/n/" << usr << true << "/x"
                                                              << "/srv/n/";
        QTest::newRow("packaged, person") << "" << usr << false << ""
                                          << "/home/ann/.local/share/norvex/";
        QTest::newRow("packaged, person, XDG_DATA_HOME") << "" << usr << false << "/data/ann/"
                                                         << "/data/ann/norvex/";
        QTest::newRow("packaged, person, relative XDG_DATA_HOME is ignored")
            << "" << usr << false << "data"
            << "/home/ann/.local/share/norvex/";
        QTest::newRow("packaged, root") << "" << usr << true << ""
                                        << "/var/lib/norvex/";
        QTest::newRow("packaged, root ignores XDG_DATA_HOME") << "" << usr << true << "/root/d"
                                                              << "/var/lib/norvex/";
        QTest::newRow("packaged under /usr/local") << ""
                                                   << "/usr/local/lib/norvex" << false << ""
                                                   << "/home/ann/.local/share/norvex/";
        QTest::newRow("a folder named like the system one elsewhere")
            << ""
            << "/opt/usr/lib/norvex" << false << ""
            << "/opt/usr/lib/norvex/";
        QTest::newRow("/usr/lib itself is no packaged install") << ""
                                                                << "/usr/lib" << false << ""
                                                                << "/usr/lib/";
    }

    void installFolderRule()
    {
        QFETCH(QString, norvexHome);
        QFETCH(QString, executableFolder);
        QFETCH(bool, root);
        QFETCH(QString, xdgDataHome);
        QFETCH(QString, expected);
        InstallContext context;
        context.norvexHome = norvexHome;
        context.executableFolder = executableFolder;
        context.root = root;
        context.xdgDataHome = xdgDataHome;
        context.homeFolder = QStringLiteral("/home/ann");
        QCOMPARE(installFolderFor(context), expected);
    }

    void programFilesOfAFolderInstallAreItsInstallationFolder()
    {
        qputenv("NORVEX_HOME", "/srv/norvex");
        QCOMPARE(programFilesFolder(), QStringLiteral("/srv/norvex/"));
        qunsetenv("NORVEX_HOME");
        QCOMPARE(programFilesFolder(), QCoreApplication::applicationDirPath() + QLatin1Char('/'));
    }

    void privateFolderIsMadeWithItsParents()
    {
        QTemporaryDir temp;
        QVERIFY(temp.isValid());
        const QString folder = temp.path() + QStringLiteral("/share/norvex/");
        QVERIFY(makePrivateFolder(folder));
        QCOMPARE(QFileInfo(folder).permissions() & 0x7777, QFile::ReadOwner | QFile::WriteOwner |
                                                               QFile::ExeOwner | QFile::ReadUser |
                                                               QFile::WriteUser | QFile::ExeUser);
        // An existing folder is left as it is.
        QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner |
                                                  QFile::ExeOwner | QFile::ReadOther |
                                                  QFile::ExeOther));
        QVERIFY(makePrivateFolder(folder));
        QVERIFY(QFileInfo(folder).permissions() & QFile::ReadOther);
        // A file in the way is no folder.
        QFile blocker(temp.path() + QStringLiteral("/file"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        QVERIFY(!makePrivateFolder(temp.path() + QStringLiteral("/file/norvex")));
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
