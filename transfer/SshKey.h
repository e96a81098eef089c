#pragma once

#include <QString>
#include <libssh/libssh.h>

namespace norvex::transfer {

// The key object of the SSH/SFTP component: reads a private key file and loads the key
// for TSshSFtp::AuthenticateKey. Accepts unencrypted PuTTY keys (format 2 and 3) and
// OpenSSH private keys (OpenSSH format, PEM, PKCS#8): RSA, ECDSA and Ed25519. PuTTY keys
// are converted in memory; no key material is ever written to disk. There is no
// passphrase, so an encrypted key is refused.
class TSshKey
{
public:
    TSshKey() = default;
    ~TSshKey();
    TSshKey(const TSshKey &) = delete;
    TSshKey &operator=(const TSshKey &) = delete;

    // The file's text; empty on failure, with the reason in KeyErrorText.
    QString ReadKeyFile(const QString &path);
    // 1 when the text holds a private key that is now loaded; anything else is failure.
    int LoadKey(const QString &keyText);

    QString KeyErrorText() const { return m_error; }

    // The loaded key, or nullptr. Owned by this object.
    ssh_key key() const { return m_key; }

private:
    int fail(const QString &text);
    void clear();

    ssh_key m_key = nullptr;
    QString m_error;
};

} // namespace norvex::transfer
