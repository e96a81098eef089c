#include "TestFiles.h"
#include "shared/IniFileCompo.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <sys/stat.h>

using norvex::shared::TIniFileCompo;

using norvex::tests::readBytes;
using norvex::tests::writeBytes;

class SettingsTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString iniPath() const { return m_dir.filePath(QStringLiteral("Norvex.ini")); }

    void openIni(TIniFileCompo &ini)
    {
        ini.SetDefaultFolder(TIniFileCompo::dfUser);
        ini.SetFileName(iniPath());
    }

private slots:
    void init() { QFile::remove(iniPath()); }

    void publishedPropertiesAndDefaults()
    {
        TIniFileCompo ini;
        QCOMPARE(ini.property("AutoUpdate").toBool(), false);
        QCOMPARE(ini.property("CaseSensitive").toBool(), false);
        QCOMPARE(ini.property("UpdateAtOnce").toBool(), false);
        QCOMPARE(ini.DefaultFolder(), TIniFileCompo::dfApplication);
        QVERIFY(ini.setProperty("FileName", QStringLiteral("x.ini")));
        // dfApplication puts the installation folder in front of the name.
        QCOMPARE(ini.Path(), qEnvironmentVariable("NORVEX_HOME") + QStringLiteral("x.ini"));
        ini.SetFileName(QString());
        QVERIFY(ini.Path().endsWith(QStringLiteral("/SettingsTest.ini")));
        ini.SetDefaultFolder(TIniFileCompo::dfWindows);
        QCOMPARE(ini.Path(), QStringLiteral("/etc/SettingsTest.ini"));
    }

    void missingFileReadsAsEmpty()
    {
        TIniFileCompo ini;
        QSignalSpy loaded(&ini, &TIniFileCompo::OnLoad);
        openIni(ini);
        QVERIFY(loaded.size() >= 1);
        QCOMPARE(ini.ReadValue(QStringLiteral("Option"), QStringLiteral("TmpFolder"), QString()),
                 QString());
        QCOMPARE(ini.ReadValue(QStringLiteral("Option"), QStringLiteral("TmpFolder"),
                               QStringLiteral("dflt")),
                 QStringLiteral("dflt"));
    }

    void writesTheLayoutAndReadsItBack()
    {
        TIniFileCompo ini;
        openIni(ini);
        QSignalSpy updated(&ini, &TIniFileCompo::OnUpdate);
        ini.WriteValue(QStringLiteral("Option"), QStringLiteral("TmpFolder"),
                       QStringLiteral("/var/tmp/一時"));
        QVERIFY(!QFile::exists(iniPath())); // UpdateAtOnce is off
        QVERIFY(ini.SaveSettings());
        QCOMPARE(updated.size(), 1);
        QCOMPARE(readBytes(iniPath()), QByteArray("[Option]\r\nTmpFolder=/var/tmp/一時\r\n\r\n"));

        TIniFileCompo again;
        openIni(again);
        QCOMPARE(again.ReadValue(QStringLiteral("Option"), QStringLiteral("TmpFolder"), "x"),
                 QStringLiteral("/var/tmp/一時"));
    }

    void presentButEmptyValueIsEmpty()
    {
        writeBytes(iniPath(), "[Option]\r\nTmpFolder=\r\n");
        TIniFileCompo ini;
        openIni(ini);
        QCOMPARE(ini.ReadValue(QStringLiteral("Option"), QStringLiteral("TmpFolder"), "dflt"),
                 QString());
    }

    void namesIgnoreLetterCase()
    {
        writeBytes(iniPath(), "[OPTION]\nTMPFOLDER=/a\n");
        TIniFileCompo ini;
        openIni(ini);
        QCOMPARE(ini.ReadValue(QStringLiteral("Option"), QStringLiteral("TmpFolder"), QString()),
                 QStringLiteral("/a"));
        ini.WriteValue(QStringLiteral("option"), QStringLiteral("tmpfolder"), QStringLiteral("/b"));
        QVERIFY(ini.SaveSettings());
        // The existing names are kept as written; no second section or key appears.
        QCOMPARE(readBytes(iniPath()), QByteArray("[OPTION]\r\nTMPFOLDER=/b\r\n\r\n"));

        ini.SetCaseSensitive(true);
        QCOMPARE(ini.ReadValue(QStringLiteral("Option"), QStringLiteral("TmpFolder"), "none"),
                 QStringLiteral("none"));
    }

    void keepsOtherSectionsAndKeysOnSave()
    {
        writeBytes(iniPath(), "; made by hand\r\n"
                              "top=level\r\n"
                              "[Window]\r\n"
                              "Left=10\r\n"
                              "# a comment\r\n"
                              "Top=20\r\n"
                              "\r\n"
                              "[Option]\r\n"
                              "Other=keep me\r\n"
                              "TmpFolder=/old\r\n"
                              "[Zeta]\r\n"
                              "k=v=w\r\n");
        TIniFileCompo ini;
        openIni(ini);
        ini.WriteValue(QStringLiteral("Option"), QStringLiteral("TmpFolder"),
                       QStringLiteral("/new"));
        ini.WriteValue(QStringLiteral("Fresh"), QStringLiteral("Key"), QStringLiteral("1"));
        QVERIFY(ini.SaveSettings());
        QCOMPARE(readBytes(iniPath()), QByteArray("; made by hand\r\n"
                                                  "top=level\r\n"
                                                  "\r\n"
                                                  "[Window]\r\n"
                                                  "Left=10\r\n"
                                                  "# a comment\r\n"
                                                  "Top=20\r\n"
                                                  "\r\n"
                                                  "[Option]\r\n"
                                                  "Other=keep me\r\n"
                                                  "TmpFolder=/new\r\n"
                                                  "\r\n"
                                                  "[Zeta]\r\n"
                                                  "k=v=w\r\n"
                                                  "\r\n"
                                                  "[Fresh]\r\n"
                                                  "Key=1\r\n"
                                                  "\r\n"));
        QCOMPARE(ini.ReadValue(QStringLiteral("zeta"), QStringLiteral("K"), QString()),
                 QStringLiteral("v=w"));
        QCOMPARE(ini.Sections(), (QStringList{"Window", "Option", "Zeta", "Fresh"}));
    }

    void lineBreaksCannotSplitALine()
    {
        TIniFileCompo ini;
        openIni(ini);
        ini.WriteValue(QStringLiteral("Option"), QStringLiteral("TmpFolder"),
                       QStringLiteral("/a\r\n[Evil]\nx=1"));
        QVERIFY(ini.SaveSettings());
        TIniFileCompo again;
        openIni(again);
        QCOMPARE(again.Sections(), QStringList{"Option"});
        QCOMPARE(again.ReadValue(QStringLiteral("Option"), QStringLiteral("TmpFolder"), QString()),
                 QStringLiteral("/a [Evil] x=1"));
    }

    void updateAtOnceAndAutoUpdateWrite()
    {
        {
            TIniFileCompo ini;
            openIni(ini);
            ini.SetUpdateAtOnce(true);
            ini.WriteValue(QStringLiteral("A"), QStringLiteral("k"), QStringLiteral("1"));
            QCOMPARE(readBytes(iniPath()), QByteArray("[A]\r\nk=1\r\n\r\n"));
            ini.SetUpdateAtOnce(false);
            ini.SetAutoUpdate(true);
            ini.WriteValue(QStringLiteral("A"), QStringLiteral("k"), QStringLiteral("2"));
        }
        QCOMPARE(readBytes(iniPath()), QByteArray("[A]\r\nk=2\r\n\r\n"));
    }

    void saveKeepsModeAndReportsFailure()
    {
        writeBytes(iniPath(), "[Option]\r\nTmpFolder=\r\n");
        QVERIFY(::chmod(QFile::encodeName(iniPath()).constData(), 0604) == 0);
        TIniFileCompo ini;
        openIni(ini);
        ini.WriteValue(QStringLiteral("Option"), QStringLiteral("TmpFolder"), QStringLiteral("/t"));
        QVERIFY(ini.SaveSettings());
        struct stat st
        {
        };
        QVERIFY(::stat(QFile::encodeName(iniPath()).constData(), &st) == 0);
        QCOMPARE(st.st_mode & 07777, 0604u);

        TIniFileCompo nowhere;
        nowhere.SetDefaultFolder(TIniFileCompo::dfUser);
        nowhere.SetFileName(m_dir.filePath(QStringLiteral("no/such/dir/x.ini")));
        QSignalSpy updated(&nowhere, &TIniFileCompo::OnUpdate);
        nowhere.WriteValue(QStringLiteral("A"), QStringLiteral("b"), QStringLiteral("c"));
        QVERIFY(!nowhere.SaveSettings());
        QVERIFY(!nowhere.ErrorMessage().isEmpty());
        QCOMPARE(updated.size(), 0);
    }

    void appDataFolderIsCreated()
    {
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_dir.filePath(QStringLiteral("xdg/data"))));
        TIniFileCompo ini;
        ini.SetDefaultFolder(TIniFileCompo::dfAppData);
        const QString folder = m_dir.filePath(QStringLiteral("xdg/data/SettingsTest/"));
        QVERIFY(QFileInfo(folder).isDir());
        QCOMPARE(ini.Path(), folder + QStringLiteral("SettingsTest.ini"));
        qunsetenv("XDG_DATA_HOME");
    }

    void badInputNeverCrashes()
    {
        QRandomGenerator rng(99);
        for (int round = 0; round < 200; ++round) {
            QByteArray junk(static_cast<int>(rng.bounded(2048)), Qt::Uninitialized);
            for (char &c : junk)
                c = round % 2 ? static_cast<char>(rng.bounded(256)) : "[]=\r\n;a "[rng.bounded(8)];
            writeBytes(iniPath(), junk);
            TIniFileCompo ini;
            openIni(ini);
            ini.ReadValue(QStringLiteral("a"), QStringLiteral("a"), QString());
            ini.WriteValue(QStringLiteral("a"), QStringLiteral("a"), QStringLiteral("b"));
            QVERIFY(ini.SaveSettings());
            TIniFileCompo again;
            openIni(again);
            QCOMPARE(again.ReadValue(QStringLiteral("a"), QStringLiteral("a"), QString()),
                     ini.ReadValue(QStringLiteral("a"), QStringLiteral("a"), QString()));
        }
        writeBytes(iniPath(), "[" + QByteArray(10 * 1024 * 1024, 'x'));
        TIniFileCompo big;
        openIni(big);
        QVERIFY(big.Sections().isEmpty());
    }
};

QTEST_GUILESS_MAIN(SettingsTest)
#include "SettingsTest.moc"
