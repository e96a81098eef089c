#include "SftpKnownHosts.h"

#include "platform/AtomicFile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageAuthenticationCode>

namespace norvex::transfer {

namespace {

bool hostFieldMatches(const QByteArray &field, const QByteArray &name)
{
    if (field.startsWith("|1|")) {
        QList<QByteArray> parts = field.split('|');
        if (parts.size() != 4)
            return false;
        QByteArray salt = QByteArray::fromBase64(parts[2]);
        QByteArray hash = QByteArray::fromBase64(parts[3]);
        return QMessageAuthenticationCode::hash(name, salt, QCryptographicHash::Sha1) == hash;
    }
    const QList<QByteArray> patterns = field.split(',');
    for (const QByteArray &p : patterns) {
        if (p == name)
            return true;
    }
    return false;
}

// The host as known_hosts names it: [host]:port unless the port is 22.
QByteArray knownHostName(const QString &host, int port)
{
    return port == 22 ? host.toUtf8() : QStringLiteral("[%1]:%2").arg(host).arg(port).toUtf8();
}

bool isEntry(const QByteArray &line)
{
    return !line.isEmpty() && !line.startsWith('#') && !line.startsWith('@');
}

} // namespace

QString sha256Fingerprint(const QByteArray &publicKeyBlob)
{
    QByteArray digest = QCryptographicHash::hash(publicKeyBlob, QCryptographicHash::Sha256);
    return QStringLiteral("SHA256:") +
           QString::fromLatin1(digest.toBase64(QByteArray::OmitTrailingEquals));
}

QStringList knownHostFingerprints(const QString &knownHostsFile, const QString &host, int port)
{
    QStringList found;
    QFile file(knownHostsFile);
    if (!file.open(QIODevice::ReadOnly))
        return found;
    const QByteArray name = knownHostName(host, port);
    while (!file.atEnd()) {
        QByteArray line = file.readLine().trimmed();
        if (!isEntry(line))
            continue;
        QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 3 || !hostFieldMatches(fields[0], name))
            continue;
        QByteArray blob = QByteArray::fromBase64(fields[2]);
        found << QString::fromLatin1(fields[1]) + QLatin1Char(' ') + sha256Fingerprint(blob);
    }
    return found;
}

bool replaceKnownHost(const QString &knownHostsFile, const QString &host, int port,
                      const QByteArray &entry, QString *error)
{
    const QByteArray name = knownHostName(host, port);
    QByteArray kept;
    QFile file(knownHostsFile);
    if (file.open(QIODevice::ReadOnly)) {
        while (!file.atEnd()) {
            const QByteArray line = file.readLine();
            const QByteArray trimmed = line.trimmed();
            if (isEntry(trimmed) && hostFieldMatches(trimmed.simplified().split(' ')[0], name))
                continue;
            kept += line.endsWith('\n') ? line : line + '\n';
        }
        file.close();
    } else if (file.exists()) {
        if (error)
            *error = file.errorString();
        return false;
    }
    QDir().mkpath(QFileInfo(knownHostsFile).absolutePath());
    return platform::writeFileAtomically(knownHostsFile, kept + entry.trimmed() + '\n', 0600,
                                         error);
}

} // namespace norvex::transfer
