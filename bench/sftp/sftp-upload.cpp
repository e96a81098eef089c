// sftp-upload HOST PORT USER KEYFILE LOCAL REMOTE: uploads LOCAL to REMOTE through
// TSshSFtp with a key and prints "connect=<s> transfer=<s> total=<s> chunk=<bytes>".
// The host key is trusted on first use in known_hosts of NORVEX_HOME (or the executable's
// folder).

#include "transfer/SshKey.h"
#include "transfer/SshSFtp.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <cstdio>

using namespace norvex::transfer;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList a = app.arguments();
    if (a.size() != 7) {
        std::fprintf(stderr, "usage: sftp-upload HOST PORT USER KEYFILE LOCAL REMOTE\n");
        return 2;
    }
    QElapsedTimer total;
    total.start();
    TSshKey key;
    if (key.LoadKey(key.ReadKeyFile(a[4])) != 1) {
        std::fprintf(stderr, "key: %s\n", qPrintable(key.KeyErrorText()));
        return 1;
    }
    TSshSFtp sftp;
    if (sftp.Connect(a[1], a[2].toInt()) != 1 || sftp.AuthenticateKey(a[3], key) != 1 ||
        sftp.StartSftp() != 1) {
        std::fprintf(stderr, "connect: %s\n", qPrintable(sftp.ErrorText()));
        return 1;
    }
    const double connectS = total.elapsed() / 1000.0;
    QElapsedTimer transfer;
    transfer.start();
    const QString h =
        sftp.OpenRemoteFile(a[6], QStringLiteral("writeOnly"), QStringLiteral("createTruncate"));
    if (h.isEmpty() || sftp.UploadToHandle(h, a[5]) != 1 || sftp.CloseRemoteHandle(h) != 1) {
        std::fprintf(stderr, "upload: %s\n", qPrintable(sftp.ErrorText()));
        return 1;
    }
    const double transferS = transfer.elapsed() / 1000.0;
    sftp.Disconnect();
    std::printf("connect=%.3f transfer=%.3f total=%.3f\n", connectS, transferS,
                total.elapsed() / 1000.0);
    return 0;
}
