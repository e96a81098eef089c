// Turns the Markdown user manual into the PDF that the help page opens:
//   norvex_manualpdf <manual.md> <out.pdf>
// Pictures are read relative to the manual's folder.
#include "tools/ManualDocument.h"

#include <QGuiApplication>
#include <cstdio>

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    if (argc != 3) {
        std::fputs("usage: norvex_manualpdf <manual.md> <out.pdf>\n", stderr);
        return 2;
    }
    QString error;
    if (!norvex::tools::writeManualPdf(QString::fromLocal8Bit(argv[1]),
                                       QString::fromLocal8Bit(argv[2]), &error)) {
        std::fprintf(stderr, "norvex_manualpdf: %s\n", qPrintable(error));
        return 1;
    }
    return 0;
}
