#include "transfer/CertTrust.h"

#include "platform/AtomicFile.h"
#include "platform/Paths.h"
#include "transfer/WSocket.h"

#include <QCryptographicHash>
#include <QFile>
#include <QList>

namespace norvex::transfer {

namespace {

QByteArray serverKey(const QString &host, int port)
{
    const QString name = WSocketUnbracketed(host.trimmed().toLower());
    return QStringLiteral("[%1]:%2").arg(name).arg(port).toUtf8();
}

QList<QByteArray> readLines(const QString &file)
{
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly))
        return {};
    return in.readAll().split('\n');
}

} // namespace

QString defaultKnownCertsFile()
{
    return platform::installFolder() + QStringLiteral("known_certs");
}

QString certificateFingerprint(const QByteArray &der)
{
    const QByteArray hash = QCryptographicHash::hash(der, QCryptographicHash::Sha256);
    return QStringLiteral("SHA256:") + QString::fromLatin1(hash.toHex(':').toUpper());
}

QString recordedCertificate(const QString &file, const QString &host, int port)
{
    const QByteArray key = serverKey(host, port);
    for (const QByteArray &line : readLines(file)) {
        const QList<QByteArray> parts = line.trimmed().split(' ');
        if (parts.size() >= 2 && parts[0] == key)
            return QString::fromLatin1(parts[1]);
    }
    return {};
}

bool recordCertificate(const QString &file, const QString &host, int port,
                       const QString &fingerprint, QString *error)
{
    const QByteArray key = serverKey(host, port);
    QByteArray out;
    for (const QByteArray &line : readLines(file)) {
        const QByteArray trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.split(' ').value(0) == key)
            continue;
        out += trimmed + '\n';
    }
    out += key + ' ' + fingerprint.toLatin1() + '\n';
    return platform::writeFileAtomically(file, out, 0600, error);
}

} // namespace norvex::transfer
