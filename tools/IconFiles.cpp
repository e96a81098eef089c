// Writes the program's icon as files for the installation folder and a desktop entry:
//   norvex_icon <folder>
// norvex.svg and norvex-<size>.png for every size a desktop asks for.
#include "config/NorvexIcon.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <cstdio>

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fputs("usage: norvex_icon <folder>\n", stderr);
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    if (!QDir().mkpath(out.path())) {
        std::fprintf(stderr, "norvex_icon: cannot create %s\n", argv[1]);
        return 1;
    }
    QFile svg(out.filePath(QStringLiteral("norvex.svg")));
    const QByteArray drawing = norvex::config::norvexIconSvg();
    if (!svg.open(QIODevice::WriteOnly) || svg.write(drawing) != drawing.size() || !svg.flush()) {
        std::fprintf(stderr, "norvex_icon: %s: %s\n", qPrintable(svg.fileName()),
                     qPrintable(svg.errorString()));
        return 1;
    }
    for (int size : norvex::config::NorvexIconSizes) {
        const QString file = out.filePath(QStringLiteral("norvex-%1.png").arg(size));
        if (!norvex::config::norvexIconImage(size).save(file)) {
            std::fprintf(stderr, "norvex_icon: cannot write %s\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}
