#pragma once

#include <QByteArray>
#include <QString>

namespace norvex::transfer {

// Converts the text of an unencrypted PuTTY private key (format 2 or 3) into the text of
// an unencrypted OpenSSH private key ("openssh-key-v1"), which libssh reads from memory.
// The MAC is checked. Returns false with a readable reason on failure. The caller wipes
// the result when it is done with it.
bool convertPpkToOpenSsh(const QByteArray &ppkText, QByteArray *openSshText, QString *error);

// True when an OpenSSH or PEM private key text is protected by a passphrase.
bool isEncryptedOpenSshText(const QByteArray &text);

// Overwrites the bytes of a buffer that held key material.
void wipe(QByteArray &bytes);

} // namespace norvex::transfer
