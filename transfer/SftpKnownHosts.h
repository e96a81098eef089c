#pragma once

#include <QString>
#include <QStringList>

namespace norvex::transfer {

// The host's entries in an OpenSSH known_hosts file (plain or hashed host names), as
// "<key type> SHA256:<fingerprint>" in file order. Used to name the trusted key when a
// server presents another one.
QStringList knownHostFingerprints(const QString &knownHostsFile, const QString &host, int port);

// "SHA256:" + unpadded base64 of the SHA-256 of a public key blob, as ssh-keygen -l shows it.
QString sha256Fingerprint(const QByteArray &publicKeyBlob);

} // namespace norvex::transfer
