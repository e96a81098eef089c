#include "ZipTestTools.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QtTest>

namespace ziptest {

PeerResult runPeer(const QString &program, const QStringList &arguments, int timeoutMs)
{
    PeerResult result;
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForStarted(30000)) {
        result.output = QStringLiteral("cannot start ") + program;
        return result;
    }
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        result.output = QStringLiteral("timed out: ") + program;
        return result;
    }
    result.output = QString::fromUtf8(process.readAll());
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return result;
}

PeerResult unzipTest(const QString &archive)
{
    return runPeer(QStringLiteral("unzip"), {QStringLiteral("-t"), archive});
}

QStringList zipinfoEntries(const QString &archive)
{
    const PeerResult r = runPeer(QStringLiteral("zipinfo"), {archive});
    QStringList lines;
    for (const QString &line : r.output.split(QLatin1Char('\n')))
        if (line.size() > 10 && (line[0] == QLatin1Char('-') || line[0] == QLatin1Char('d') ||
                                 line[0] == QLatin1Char('l')))
            lines.append(line);
    return lines;
}

QStringList Listing::names() const
{
    QStringList out;
    for (const QJsonObject &e : entries)
        out.append(e.value(QStringLiteral("name")).toString());
    return out;
}

QJsonObject Listing::entry(const QString &name) const
{
    for (const QJsonObject &e : entries)
        if (e.value(QStringLiteral("name")).toString() == name)
            return e;
    return {};
}

Listing pythonListing(const QString &archive)
{
    Listing listing;
    const QString script =
        QFileInfo(QStringLiteral(__FILE__)).absolutePath() + QStringLiteral("/zipcheck.py");
    QProcess process;
    process.start(QStringLiteral("/usr/bin/python3"), {script, archive});
    if (!process.waitForStarted(30000) || !process.waitForFinished(900000)) {
        listing.error = QStringLiteral("python3 zipfile did not run");
        return listing;
    }
    const QByteArray out = process.readAllStandardOutput();
    if (process.exitCode() != 0) {
        listing.error = QString::fromUtf8(process.readAllStandardError());
        return listing;
    }
    const QJsonDocument doc = QJsonDocument::fromJson(out);
    for (const QJsonValue &v : doc.object().value(QStringLiteral("entries")).toArray())
        listing.entries.append(v.toObject());
    listing.ok = doc.isObject();
    return listing;
}

void packLikeService(const QString &archive, const QStringList &sources,
                     norvex::archivers::TQuellZip *zip)
{
    norvex::archivers::TQuellZip own;
    norvex::archivers::TQuellZip &z = zip ? *zip : own;
    z.Close();
    {
        QFile file(archive);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        z.WriteEmptyArchive(file);
    }
    z.Open(archive);
    QVERIFY(z.IsZipFile());
    QVERIFY(z.AddPaths(sources, QString(), true));
    z.Close();
}

QByteArray sha256Hex(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

QByteArray sha256OfFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    return hash.result().toHex();
}

void writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    QCOMPARE(file.write(content), qint64(content.size()));
}

QString stored(const QString &absolutePath)
{
    QString s = absolutePath;
    while (s.startsWith(QLatin1Char('/')))
        s.remove(0, 1);
    return s;
}

QStringList ancestorEntries(const QString &absolutePath)
{
    QStringList out;
    const QStringList parts = stored(absolutePath).split(QLatin1Char('/'));
    QString prefix;
    for (int i = 0; i + 1 < parts.size(); ++i) {
        prefix += parts[i] + QLatin1Char('/');
        out.append(prefix);
    }
    return out;
}

} // namespace ziptest
