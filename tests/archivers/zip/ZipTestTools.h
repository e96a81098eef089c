#pragma once

// Helpers for the ZIP writer tests: the real peers (unzip, zipinfo, Python's zipfile)
// and the archive step's calling sequence.
#include "archivers/QuellZip.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

namespace ziptest {

struct PeerResult
{
    int exitCode = -1;
    QString output;
};

// Runs a peer tool; a tool that cannot be started fails the test (exit code -1).
PeerResult runPeer(const QString &program, const QStringList &arguments, int timeoutMs = 600000);

// unzip -t: exit code 0 when every entry tests OK.
PeerResult unzipTest(const QString &archive);
// zipinfo's long listing, one line per entry ("mode version host size ... name").
QStringList zipinfoEntries(const QString &archive);

// Python's zipfile reading every entry (see zipcheck.py); empty object on failure.
struct Listing
{
    bool ok = false;
    QString error;
    QList<QJsonObject> entries;
    QStringList names() const;
    QJsonObject entry(const QString &name) const;
};
Listing pythonListing(const QString &archive);

// The archive step: create the file anew, write the empty end record, open, add the
// sources with sub-folders and an empty root, close.
void packLikeService(const QString &archive, const QStringList &sources,
                     norvex::archivers::TQuellZip *zip = nullptr);

QByteArray sha256Hex(const QByteArray &data);
QByteArray sha256OfFile(const QString &path);
void writeFile(const QString &path, const QByteArray &content);
// Stored form of an absolute path: without the leading '/'.
QString stored(const QString &absolutePath);
// The folder entries for every ancestor of an absolute path, outermost first.
QStringList ancestorEntries(const QString &absolutePath);

} // namespace ziptest
