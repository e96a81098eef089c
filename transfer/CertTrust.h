#pragma once

#include <QByteArray>
#include <QString>

namespace norvex::transfer {

// Certificates of FTP servers that do not verify against the system's trust store (a
// self-signed one, common on small servers) are trusted on first use, as SFTP host keys
// are. One line per server in known_certs beside known_hosts:
//   [host]:port SHA256:AB:CD:...
// The host is the text the job names (lower case, without brackets), so one server reached
// by two names is recorded twice, as OpenSSH does.

// known_certs in the installation folder.
QString defaultKnownCertsFile();

// "SHA256:" + the SHA-256 of the DER certificate as upper-case hex pairs joined by colons,
// as `openssl x509 -fingerprint -sha256` prints it.
QString certificateFingerprint(const QByteArray &der);

// The fingerprint recorded for host:port; empty when none is (or the file is unreadable).
QString recordedCertificate(const QString &file, const QString &host, int port);

// Records (or replaces) the fingerprint for host:port; the file is rewritten whole, mode
// 0600. False with error set when it could not be written.
bool recordCertificate(const QString &file, const QString &host, int port,
                       const QString &fingerprint, QString *error = nullptr);

} // namespace norvex::transfer
