#pragma once

// Archive checks with the peer tools (unzip, 7z) and source trees to back up.

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QString>
#include <QtTest>

namespace norvex::testing {

// Runs a peer tool; -1 when it cannot be started (missing tools fail the test).
inline int runTool(const QString &program, const QStringList &args, QByteArray *output = nullptr)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForStarted(10000))
        return -1;
    p.waitForFinished(120000);
    if (output)
        *output = p.readAll();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

inline bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
}

inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline QByteArray noise(int size, quint32 seed)
{
    QRandomGenerator gen(seed);
    QByteArray out(size, Qt::Uninitialized);
    for (char &c : out)
        c = char(gen.generate() & 0xff);
    return out;
}

// Regular files below folder: path relative to folder -> content.
inline QMap<QString, QByteArray> filesBelow(const QString &folder)
{
    QMap<QString, QByteArray> out;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        out[QDir(folder).relativeFilePath(path)] = readFile(path);
    }
    return out;
}

// The archives of F (fileName) that runs left in the temporary folder under their
// temporary names, "<F>.<pid>.tmp".
inline QStringList temporaryArchives(const QString &folder, const QString &fileName)
{
    const QRegularExpression name(QStringLiteral("^") + QRegularExpression::escape(fileName) +
                                  QStringLiteral("\\.[0-9]+\\.tmp$"));
    QStringList out;
    for (const QString &entry : QDir(folder).entryList(QDir::Files | QDir::Hidden))
        if (name.match(entry).hasMatch())
            out << folder + QLatin1Char('/') + entry;
    return out;
}

// The one temporary archive of F a failed transfer left; empty (with a warning) when
// there is none or more than one.
inline QString temporaryArchive(const QString &folder, const QString &fileName)
{
    const QStringList found = temporaryArchives(folder, fileName);
    if (found.size() != 1)
        qWarning("%d temporary archives of %s in %s", int(found.size()), qPrintable(fileName),
                 qPrintable(folder));
    return found.size() == 1 ? found.first() : QString();
}

// Extracts an archive with the peer tool into a fresh folder; empty map on failure.
inline QMap<QString, QByteArray> extract(const QString &archive, const QString &into,
                                         const QString &password = QString())
{
    QDir(into).removeRecursively();
    QDir().mkpath(into);
    QByteArray out;
    const int rc =
        archive.endsWith(QLatin1String(".7z"))
            ? runTool(QStringLiteral("7z"),
                      {QStringLiteral("x"), QStringLiteral("-y"), QStringLiteral("-p") + password,
                       QStringLiteral("-o") + into, archive},
                      &out)
            : runTool(
                  QStringLiteral("unzip"),
                  {QStringLiteral("-q"), QStringLiteral("-o"), archive, QStringLiteral("-d"), into},
                  &out);
    if (rc != 0) {
        qWarning("extracting %s failed (%d): %s", qPrintable(archive), rc, out.constData());
        return {};
    }
    return filesBelow(into);
}

// The archive's integrity by the peer tool ("unzip -t", "7z t -p...").
inline bool testArchive(const QString &archive, const QString &password = QString())
{
    QByteArray out;
    const int rc =
        archive.endsWith(QLatin1String(".7z"))
            ? runTool(QStringLiteral("7z"),
                      {QStringLiteral("t"), QStringLiteral("-p") + password, archive}, &out)
            : runTool(QStringLiteral("unzip"), {QStringLiteral("-t"), archive}, &out);
    if (rc != 0)
        qWarning("testing %s failed (%d): %s", qPrintable(archive), rc, out.constData());
    return rc == 0;
}

// True when the extracted files are exactly the expected ones: each expected relative
// path ends exactly one extracted path (at a '/'), with the same content, and nothing else
// was extracted. Archivers store sources under different prefixes; the tail is what counts.
inline bool holdsExactly(const QMap<QString, QByteArray> &extracted,
                         const QMap<QString, QByteArray> &expected)
{
    if (extracted.size() != expected.size()) {
        qWarning("archive holds %d files, expected %d: %s", int(extracted.size()),
                 int(expected.size()),
                 qPrintable(QStringList(extracted.keys()).join(QLatin1String(", "))));
        return false;
    }
    for (auto e = expected.begin(); e != expected.end(); ++e) {
        int found = 0;
        for (auto x = extracted.begin(); x != extracted.end(); ++x)
            if ((x.key() == e.key() || x.key().endsWith(QLatin1Char('/') + e.key())) &&
                x.value() == e.value())
                ++found;
        if (found != 1) {
            qWarning("%s found %d times with its content", qPrintable(e.key()), found);
            return false;
        }
    }
    return true;
}

} // namespace norvex::testing
