// ftp-upload HOST PORT USER PASSWORD LOCAL REMOTE [HANDOVER]: uploads one file with
// TFtpClient (Connect, TypeBinary, Put, Quit) and prints the seconds Put took.
// HANDOVER is the number of bytes handed to the data connection per event-loop turn.
// NORVEX_FTP_MODE=passive uses passive data connections; NORVEX_FTP_TLS=1 explicit TLS
// (any certificate is trusted on first use, recorded in a file of NORVEX_FTP_CERTS).
#include "transfer/FtpCli.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <cstdio>

using norvex::transfer::TFtpClient;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 7) {
        std::fprintf(stderr, "usage: ftp-upload HOST PORT USER PASSWORD LOCAL REMOTE [HANDOVER]\n");
        return 2;
    }
    TFtpClient ftp;
    ftp.HostName = args[1];
    ftp.Port = args[2];
    ftp.UserName = args[3];
    ftp.PassWord = args[4];
    ftp.LocalFileName = args[5];
    ftp.HostFileName = args[6];
    if (args.size() > 7)
        ftp.UploadHandover = args[7].toInt();
    if (qEnvironmentVariable("NORVEX_FTP_MODE") == QLatin1String("passive"))
        ftp.DataMode = norvex::shared::FtpDataMode::Passive;
    if (qEnvironmentVariable("NORVEX_FTP_TLS") == QLatin1String("1")) {
        ftp.Security = norvex::shared::FtpSecurity::ExplicitTls;
        ftp.KnownCertsFile = qEnvironmentVariable("NORVEX_FTP_CERTS");
    }
    if (!ftp.Connect() || !ftp.TypeBinary()) {
        std::fprintf(stderr, "login failed: %s\n", qPrintable(ftp.ErrorMessage()));
        return 1;
    }
    QElapsedTimer clock;
    clock.start();
    const bool ok = ftp.Put();
    const double seconds = clock.nsecsElapsed() / 1e9;
    if (!ok) {
        std::fprintf(stderr, "upload failed: %s\n", qPrintable(ftp.ErrorMessage()));
        ftp.Abort();
        return 1;
    }
    ftp.Quit();
    std::printf("%.3f\n", seconds);
    return 0;
}
