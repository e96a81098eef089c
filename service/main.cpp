#include "platform/Paths.h"
#include "platform/ServiceProcess.h"
#include "service/Norvex.h"

#include <QCoreApplication>
#include <cstdio>
#include <unistd.h>

using namespace norvex;

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Norvex"));

    const service::ServiceCommandLine commandLine =
        service::parseServiceCommandLine(app.arguments().mid(1));
    if (!commandLine.unknown.isEmpty()) {
        std::fprintf(stderr, "NorvexService: unknown argument: %s\n",
                     commandLine.unknown.first().toLocal8Bit().constData());
        std::fputs("使い方: NorvexService [-install | -uninstall] [-silent]\n", stderr);
        return 2;
    }
    if (commandLine.install || commandLine.uninstall)
        return service::registerService(
            commandLine,
            service::thisServiceSpec(QStringLiteral("Norvex"), QStringLiteral("Norvex")));

    platform::ServiceProcess process;
    QString error;
    if (!process.begin(platform::installFolder(), &error)) {
        std::fprintf(stderr, "NorvexService: %s\n", error.toLocal8Bit().constData());
        return 1;
    }
    service::TNorvex norvex;
    const int code = norvex.Run(process);
    if (norvex.RunsInProgress()) {
        // A stop abandons the runs in progress; their threads still use the service's
        // objects, so none of them may be destroyed. The locks go with the process.
        std::fflush(nullptr);
        ::_exit(code);
    }
    return code;
}
