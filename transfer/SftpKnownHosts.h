#pragma once

#include <QString>
#include <QStringList>

namespace norvex::transfer {

// The host's entries in an OpenSSH known_hosts file (plain or hashed host names), as
// "<key type> SHA256:<fingerprint>" in file order. Used to name the trusted key when a
// server presents another one.
QStringList knownHostFingerprints(const QString &knownHostsFile, const QString &host, int port);

// Replaces the host's entries (plain or hashed, a whole line also where it names other
// hosts beside this one, as `ssh-keygen -R` does) by `entry`, one known_hosts line.
// Comments and marker lines (@revoked, @cert-authority) stay. The file is rewritten whole;
// a new one gets mode 0600. False with `error` set when it could not be written.
bool replaceKnownHost(const QString &knownHostsFile, const QString &host, int port,
                      const QByteArray &entry, QString *error = nullptr);

// "SHA256:" + unpadded base64 of the SHA-256 of a public key blob, as ssh-keygen -l shows it.
QString sha256Fingerprint(const QByteArray &publicKeyBlob);

} // namespace norvex::transfer
