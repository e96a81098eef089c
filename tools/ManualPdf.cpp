// Turns the Markdown user manual into the PDF that the help page opens:
//   norvex_manualpdf <manual.md> <out.pdf>
#include <QFile>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGuiApplication>
#include <QPageLayout>
#include <QPageSize>
#include <QPdfWriter>
#include <QTextDocument>
#include <cstdio>

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    if (argc != 3) {
        std::fputs("usage: norvex_manualpdf <manual.md> <out.pdf>\n", stderr);
        return 2;
    }
    QFile source(QString::fromLocal8Bit(argv[1]));
    if (!source.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "%s: %s\n", argv[1], qPrintable(source.errorString()));
        return 1;
    }
    // Without the Japanese font every Japanese character would come out as an empty box.
    const QFont font(QStringLiteral("IPAexGothic"), 10);
    if (!QFontDatabase::families().contains(QStringLiteral("IPAexGothic"))) {
        std::fputs("norvex_manualpdf: the font IPAexGothic (fonts-ipaexfont-gothic) is missing\n",
                   stderr);
        return 1;
    }

    const QString target = QString::fromLocal8Bit(argv[2]);
    const QString partial = target + QStringLiteral(".part");
    {
        QPdfWriter writer(partial);
        writer.setTitle(QStringLiteral("Norvex ユーザーズマニュアル"));
        writer.setCreator(QStringLiteral("Norvex"));
        writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait,
                                         QMarginsF(18, 18, 18, 18), QPageLayout::Millimeter));
        QTextDocument document;
        document.setDefaultFont(font);
        document.setDefaultStyleSheet(QStringLiteral("pre, code { font-family: IPAexGothic; }"));
        document.setMarkdown(QString::fromUtf8(source.readAll()));
        // Without a page size of its own, print() adds 2 cm margins and page numbers.
        document.setPageSize(QSizeF(writer.width(), writer.height()) * 96.0 / writer.resolution());
        document.print(&writer);
    }
    QFile::remove(target);
    if (!QFile::rename(partial, target)) {
        std::fprintf(stderr, "norvex_manualpdf: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
