#include "platform/Paths.h"
#include "shared/JobTable.h"

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char *argv[])
{
    // No window yet, so no display is needed.
    QCoreApplication app(argc, argv);
    const QString folder = norvex::platform::installFolder();
    // Both programs create the job table and the Log folder when they are missing.
    if (!norvex::shared::ensureJobTable(folder)) {
        std::fprintf(stderr, "Norvex: cannot create the job table in %s\n", qPrintable(folder));
        return 1;
    }
    std::printf("Norvex: installation folder %s; the configuration window is not built yet.\n",
                qPrintable(folder));
    return 0;
}
