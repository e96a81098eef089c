#include "SshKey.h"

#include "SftpPpk.h"
#include "platform/Paths.h"

#include <QFile>
#include <QFileInfo>
#include <cerrno>

namespace norvex::transfer {

namespace {

// A private key file is a few KiB; anything far larger is not one.
constexpr qint64 MaxKeyFileSize = 1024 * 1024;

const QString EncryptedText = QStringLiteral(
    "The key is protected by a passphrase: a passphrase-protected key cannot be used");

} // namespace

TSshKey::~TSshKey()
{
    clear();
}

void TSshKey::clear()
{
    if (m_key) {
        ssh_key_free(m_key);
        m_key = nullptr;
    }
}

int TSshKey::fail(const QString &text)
{
    m_error = text;
    return 0;
}

QString TSshKey::ReadKeyFile(const QString &path)
{
    m_error.clear();
    QFile file(path);
    if (path.isEmpty()) {
        fail(QStringLiteral("No key file was given"));
        return {};
    }
    if (!file.open(QIODevice::ReadOnly)) {
        QFileInfo info(path);
        if (!info.exists()) {
            fail(QStringLiteral("Cannot read the key file \"%1\": %2")
                     .arg(path, platform::systemErrorText(ENOENT)));
        } else {
            fail(QStringLiteral("Cannot read the key file \"%1\": %2")
                     .arg(path, file.errorString()));
        }
        return {};
    }
    if (file.size() > MaxKeyFileSize) {
        fail(QStringLiteral("The file \"%1\" is too large to be a private key").arg(path));
        return {};
    }
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        fail(QStringLiteral("Cannot read the key file \"%1\": %2").arg(path, file.errorString()));
        wipe(bytes);
        return {};
    }
    if (bytes.trimmed().isEmpty()) {
        fail(QStringLiteral("The key file \"%1\" is empty").arg(path));
        return {};
    }
    QString text = QString::fromUtf8(bytes);
    wipe(bytes);
    return text;
}

int TSshKey::LoadKey(const QString &keyText)
{
    clear();
    m_error.clear();
    QByteArray text = keyText.toUtf8().trimmed();
    struct Wiper
    {
        QByteArray &b;
        ~Wiper() { wipe(b); }
    } wiper{text};

    if (text.isEmpty())
        return fail(QStringLiteral("No key text was given"));

    if (text.startsWith("PuTTY-User-Key-File-")) {
        QByteArray converted;
        QString error;
        if (!convertPpkToOpenSsh(text, &converted, &error))
            return fail(error);
        int rc = ssh_pki_import_privkey_base64(converted.constData(), "", nullptr, nullptr, &m_key);
        wipe(converted);
        if (rc != SSH_OK || !m_key) {
            m_key = nullptr;
            return fail(QStringLiteral("The PuTTY key could not be loaded: its key data is "
                                       "invalid"));
        }
        return 1;
    }

    if (!text.contains("-----BEGIN ")) {
        if (text.startsWith("ssh-") || text.startsWith("ecdsa-"))
            return fail(QStringLiteral("This is a public key; the private key is needed"));
        return fail(QStringLiteral("The text is not a private key (neither a PuTTY nor an "
                                   "OpenSSH private key)"));
    }
    if (text.contains("PUBLIC KEY-----"))
        return fail(QStringLiteral("This is a public key; the private key is needed"));
    if (isEncryptedOpenSshText(text))
        return fail(EncryptedText);
    // A non-null passphrase keeps OpenSSL from prompting on the terminal.
    if (ssh_pki_import_privkey_base64(text.constData(), "", nullptr, nullptr, &m_key) != SSH_OK ||
        !m_key) {
        m_key = nullptr;
        return fail(QStringLiteral("The private key could not be read: unsupported or damaged "
                                   "key data"));
    }
    return 1;
}

} // namespace norvex::transfer
