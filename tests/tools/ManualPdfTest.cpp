#include "config/NorvexIcon.h"
#include "tools/ManualDocument.h"

#include <QAbstractTextDocumentLayout>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>

using namespace norvex;

class ManualPdfTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

    QString picture(const QString &name, int width, int height)
    {
        QImage image(width, height, QImage::Format_RGB32);
        image.fill(Qt::blue);
        const QString path = dir.filePath(name);
        if (!image.save(path))
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

    QString manual(const QByteArray &markdown)
    {
        const QString path = dir.filePath(QStringLiteral("manual.md"));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(markdown) != markdown.size())
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

    static QTextImageFormat onlyPicture(const QTextDocument &document)
    {
        QList<QTextImageFormat> found;
        for (QTextBlock block = document.begin(); block.isValid(); block = block.next())
            for (auto it = block.begin(); !it.atEnd(); ++it)
                if (it.fragment().charFormat().isImageFormat())
                    found << it.fragment().charFormat().toImageFormat();
        if (found.size() != 1)
            qFatal("%d pictures in the document", int(found.size()));
        return found.first();
    }

private slots:
    void picturesAreScaledDownToFitThePage_data()
    {
        QTest::addColumn<QSize>("picture");
        QTest::addColumn<QSizeF>("shown");
        // Text width: 600 - 2 × 4 (the document's margin); pictures take 85 % of it at most.
        QTest::newRow("wider than the limit") << QSize(1184, 740) << QSizeF(503.2, 314.5);
        QTest::newRow("narrower") << QSize(300, 200) << QSizeF(300, 200);
    }
    void picturesAreScaledDownToFitThePage()
    {
        QFETCH(QSize, picture);
        QFETCH(QSizeF, shown);
        this->picture(QStringLiteral("shots/page.png"), picture.width(), picture.height());
        QTextDocument document;
        const QStringList missing =
            tools::layOutManual(document, QStringLiteral("# M\n\n![page](../shots/page.png)\n"),
                                dir.filePath(QStringLiteral("manual")), QSizeF(600, 800));
        QVERIFY2(missing.isEmpty(), qPrintable(missing.join(u' ')));
        const QTextImageFormat format = onlyPicture(document);
        QCOMPARE(QSizeF(format.width(), format.height()), shown);
        // The document draws the picture from the file, wherever the writer runs.
        const QVariant image = document.resource(QTextDocument::ImageResource, QUrl(format.name()));
        QCOMPARE(image.value<QImage>().size(), picture);
        QVERIFY(document.toPlainText().contains(QStringLiteral("図　page")));
    }

    void init() { QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("shots")))); }

    // A picture that fits at the foot of a page but leaves no room for its caption moves to
    // the next page with it. Steps of 10 pixels meet that case whatever the caption's height;
    // from 370 on a page cannot hold both.
    void captionStaysOnItsPicturesPage_data()
    {
        QTest::addColumn<int>("height");
        for (int height = 300; height <= 360; height += 10)
            QTest::addRow("%d", height) << height;
    }
    void captionStaysOnItsPicturesPage()
    {
        QFETCH(int, height);
        picture(QStringLiteral("tall.png"), 100, height);
        QTextDocument document;
        QVERIFY(tools::layOutManual(document, QStringLiteral("Text\n\n![tall](tall.png)\n"),
                                    dir.path(), QSizeF(600, 400))
                    .isEmpty());
        QList<int> pages;
        for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
            const QRectF box = document.documentLayout()->blockBoundingRect(block);
            const QTextLine line = block.layout()->lineAt(0);
            pages << int((box.top() + line.y() + line.height() / 2) / 400);
        }
        QCOMPARE(pages.size(), 3); // the text, the picture and its caption
        QCOMPARE(pages[1], pages[2]);
    }

    // A picture that is not there fails the build instead of leaving an empty box.
    void missingPictureFailsAndWritesNothing()
    {
        picture(QStringLiteral("shown.png"), 40, 30);
        const QString md = manual("# M\n\n![a](shown.png)\n\n![b](gone.png)\n");
        const QString pdf = dir.filePath(QStringLiteral("m.pdf"));
        QString error;
        QVERIFY(!tools::writeManualPdf(md, pdf, &error));
        QVERIFY2(error.contains(QStringLiteral("gone.png")) &&
                     !error.contains(QStringLiteral("shown.png")),
                 qPrintable(error));
        QVERIFY(!QFile::exists(pdf));
        QVERIFY(!QFile::exists(pdf + QStringLiteral(".part")));
    }

    void pdfHoldsEveryPicture()
    {
        picture(QStringLiteral("a.png"), 1000, 700);
        picture(QStringLiteral("b.png"), 520, 380);
        const QString md = manual(
            "# マニュアル\n\n## 1. 一覧\n\n![一覧](a.png)\n\n## 2. 詳細\n\n![詳細](b.png)\n");
        const QString pdf = dir.filePath(QStringLiteral("m.pdf"));
        QString error;
        QVERIFY2(tools::writeManualPdf(md, pdf, &error), qPrintable(error));
        QFile file(pdf);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        QVERIFY(bytes.startsWith("%PDF-"));
        QCOMPARE(bytes.count("/Subtype /Image"), 2);
        // Each chapter begins a page: title and chapter 1, then chapter 2.
        QCOMPARE(bytes.count("/Type /Page\n") + bytes.count("/Type /Page\r"), 2);
    }

    // The SVG in docs/ is the one the icon tool writes from the drawing the window uses.
    void committedIconIsTheDrawing()
    {
        QFile svg(qEnvironmentVariable("NORVEX_SOURCE_DIR") +
                  QStringLiteral("/docs/icon/norvex.svg"));
        QVERIFY2(svg.open(QIODevice::ReadOnly), qPrintable(svg.fileName()));
        QVERIFY2(svg.readAll() == config::norvexIconSvg(),
                 "docs/icon/norvex.svg is not the drawing: copy build/icons/norvex.svg over it");
    }
};

QTEST_MAIN(ManualPdfTest)
#include "ManualPdfTest.moc"
