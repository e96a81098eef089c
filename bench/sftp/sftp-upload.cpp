// sftp-upload HOST PORT USER KEYFILE LOCAL REMOTE: uploads LOCAL to REMOTE through
// TSshSFtp with a key and prints "connect=<s> transfer=<s> total=<s>" and the algorithms the
// connection negotiated.
// The host key is trusted on first use in known_hosts of NORVEX_HOME (or the executable's
// folder).

#include "transfer/SshKey.h"
#include "transfer/SshSFtp.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <algorithm>
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
    // SFTP_LANES=n opens n lanes at once, SFTP_MAX_LANES=n allows at most n (experiments).
    UploadLimits limits;
    limits.minLanes = qEnvironmentVariableIntValue("SFTP_LANES");
    if (qEnvironmentVariableIsSet("SFTP_MAX_LANES"))
        limits.maxLanes = qEnvironmentVariableIntValue("SFTP_MAX_LANES");
    limits.minLanes = std::max(limits.minLanes, 1);
    sftp.setUploadLimits(limits);
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
    const QString algorithms = sftp.negotiatedAlgorithms();
    const UploadStats stats = sftp.uploadStats();
    sftp.Disconnect();
    std::printf("connect=%.3f transfer=%.3f total=%.3f lanes=%d peak=%lluKiB window=%uKiB "
                "rtt=%.1fms %s\n",
                connectS, transferS, total.elapsed() / 1000.0, stats.lanes,
                static_cast<unsigned long long>(stats.peakInFlight / 1024), stats.window / 1024,
                stats.roundTripUs / 1000.0, qPrintable(algorithms));
    return 0;
}
