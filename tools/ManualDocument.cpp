#include "tools/ManualDocument.h"

#include <QAbstractTextDocumentLayout>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QImage>
#include <QPageLayout>
#include <QPageSize>
#include <QPdfWriter>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextLayout>
#include <QTextTable>
#include <QUrl>
#include <algorithm>
#include <memory>
#include <utility>

namespace norvex::tools {

namespace {

const QString ManualFont = QStringLiteral("IPAexGothic");
// Pictures take at most this share of the text width: a window picture at full width leaves
// too little room on its page for the text that explains it.
constexpr qreal PictureShare = 0.85;
// Marks the caption blocks, so that they can be kept on their picture's page.
constexpr int CaptionProperty = QTextFormat::UserProperty + 1;

struct Picture
{
    int position;
    int length;
    QString name;
    QString caption;
};

QList<Picture> picturesOf(const QTextDocument &document)
{
    QList<Picture> pictures;
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next())
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            if (fragment.charFormat().isImageFormat())
                pictures.append({fragment.position(), fragment.length(),
                                 fragment.charFormat().toImageFormat().name(),
                                 fragment.charFormat().stringProperty(QTextFormat::ImageAltText)});
        }
    return pictures;
}

// Thin grey rules between the cells and a shaded title row, instead of the raised double
// borders that tables get by default.
void styleTables(QTextDocument &document)
{
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        QTextTable *table = QTextCursor(block).currentTable();
        if (!table || table->cellAt(block.position()).row() != 0 ||
            table->cellAt(block.position()).column() != 0)
            continue;
        QTextTableFormat format = table->format();
        format.setBorderCollapse(true);
        format.setBorder(0);
        format.setCellPadding(3);
        format.setCellSpacing(0);
        table->setFormat(format);
        // Collapsed borders are drawn by the cells.
        for (int row = 0; row < table->rows(); ++row)
            for (int column = 0; column < table->columns(); ++column) {
                QTextTableCell cell = table->cellAt(row, column);
                QTextTableCellFormat cellFormat = cell.format().toTableCellFormat();
                cellFormat.setBorder(0.75);
                cellFormat.setBorderStyle(QTextFrameFormat::BorderStyle_Solid);
                cellFormat.setBorderBrush(QColor(0x99, 0x99, 0x99));
                if (row == 0)
                    cellFormat.setBackground(QColor(0xe8, 0xee, 0xf6));
                cell.setFormat(cellFormat);
            }
    }
}

// The page of the block's last line (a block's box also holds the room that a page break
// left above its lines).
int pageOf(const QTextDocument &document, const QTextBlock &block)
{
    const QRectF box = document.documentLayout()->blockBoundingRect(block); // lays it out
    const QTextLayout *layout = block.layout();
    if (!layout || layout->lineCount() == 0)
        return -1;
    const QTextLine last = layout->lineAt(layout->lineCount() - 1);
    const qreal middle = box.top() + last.y() + last.height() / 2;
    return int(middle / document.pageSize().height());
}

// The first caption from block `from` on that its picture's page cannot hold, as a block
// number; -1 if none. Measured on a fresh copy: the layout of a document whose page breaks
// have changed is not reliable until it is laid out anew.
int firstStrayCaption(const QTextDocument &document, int from)
{
    std::unique_ptr<QTextDocument> copy(document.clone());
    copy->setDefaultFont(document.defaultFont());
    copy->setPageSize(document.pageSize());
    for (QTextBlock block = copy->findBlockByNumber(from); block.isValid(); block = block.next())
        if (block.blockFormat().boolProperty(CaptionProperty) &&
            pageOf(*copy, block.previous()) != pageOf(*copy, block))
            return block.blockNumber();
    return -1;
}

// A caption that would start the next page takes its picture along, one at a time in
// document order, as each move shifts everything after it. A picture too tall to share a
// page with its caption is moved once only.
void keepCaptionsWithPictures(QTextDocument &document)
{
    for (int caption = 0; (caption = firstStrayCaption(document, caption)) > 0; ++caption) {
        QTextBlockFormat breakBefore;
        breakBefore.setPageBreakPolicy(QTextFormat::PageBreak_AlwaysBefore);
        QTextCursor(document.findBlockByNumber(caption - 1)).mergeBlockFormat(breakBefore);
    }
}

bool onlyPictureInBlock(const QTextBlock &block)
{
    for (auto it = block.begin(); !it.atEnd(); ++it)
        if (!it.fragment().charFormat().isImageFormat() &&
            !it.fragment().text().trimmed().isEmpty())
            return false;
    return true;
}

} // namespace

QStringList layOutManual(QTextDocument &document, const QString &markdown,
                         const QString &baseFolder, const QSizeF &pageSize)
{
    document.setMarkdown(markdown);
    document.setPageSize(pageSize);
    const qreal widest = (pageSize.width() - 2 * document.documentMargin()) * PictureShare;
    const QDir base(baseFolder);
    QStringList missing;
    QTextCursor cursor(&document);
    QList<Picture> pictures = picturesOf(document);
    // From the end, so that an added caption does not move the pictures still to come.
    std::reverse(pictures.begin(), pictures.end());
    for (const Picture &picture : std::as_const(pictures)) {
        const QString path = QDir::cleanPath(base.absoluteFilePath(picture.name));
        const QImage image(path);
        if (image.isNull()) {
            missing << picture.name;
            continue;
        }
        // The picture is handed over under its absolute address: a relative one would be
        // looked up relative to the working folder of whoever prints.
        const QUrl url = QUrl::fromLocalFile(path);
        document.addResource(QTextDocument::ImageResource, url, image);
        const qreal scale = qMin(1.0, widest / image.width());
        QTextImageFormat format;
        format.setName(url.toString());
        format.setWidth(image.width() * scale);
        format.setHeight(image.height() * scale);
        cursor.setPosition(picture.position);
        cursor.setPosition(picture.position + picture.length, QTextCursor::KeepAnchor);
        cursor.setCharFormat(format);
        if (!onlyPictureInBlock(cursor.block()))
            continue;
        QTextBlockFormat centred;
        centred.setAlignment(Qt::AlignHCenter);
        centred.setTopMargin(6);
        cursor.mergeBlockFormat(centred);
        if (picture.caption.isEmpty())
            continue;
        // The picture's text from the Markdown, as a caption below it.
        cursor.movePosition(QTextCursor::EndOfBlock);
        QTextBlockFormat captionBlock;
        captionBlock.setProperty(CaptionProperty, true);
        captionBlock.setAlignment(Qt::AlignHCenter);
        captionBlock.setBottomMargin(10);
        QTextCharFormat captionText;
        captionText.setFontPointSize(document.defaultFont().pointSizeF() * 0.9);
        captionText.setForeground(QColor(0x44, 0x44, 0x44));
        cursor.insertBlock(captionBlock, captionText);
        cursor.insertText(QStringLiteral("図　") + picture.caption);
    }
    styleTables(document);
    // Each chapter starts on a page of its own.
    bool first = true;
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        if (block.blockFormat().headingLevel() != 2)
            continue;
        if (!std::exchange(first, false)) {
            QTextBlockFormat breakBefore;
            breakBefore.setPageBreakPolicy(QTextFormat::PageBreak_AlwaysBefore);
            QTextCursor(block).mergeBlockFormat(breakBefore);
        }
    }
    keepCaptionsWithPictures(document);
    return missing;
}

bool writeManualPdf(const QString &markdownPath, const QString &pdfPath, QString *error)
{
    QFile source(markdownPath);
    if (!source.open(QIODevice::ReadOnly)) {
        *error = markdownPath + QStringLiteral(": ") + source.errorString();
        return false;
    }
    // Without the Japanese font every Japanese character would come out as an empty box.
    if (!QFontDatabase::families().contains(ManualFont)) {
        *error = QStringLiteral("the font IPAexGothic (fonts-ipaexfont-gothic) is missing");
        return false;
    }

    const QString partial = pdfPath + QStringLiteral(".part");
    QStringList missing;
    {
        QPdfWriter writer(partial);
        writer.setTitle(QStringLiteral("Norvex ユーザーズマニュアル"));
        writer.setCreator(QStringLiteral("Norvex"));
        writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait,
                                         QMarginsF(18, 18, 18, 18), QPageLayout::Millimeter));
        QTextDocument document;
        document.setDefaultFont(QFont(ManualFont, 10));
        // Without a page size of its own, print() adds 2 cm margins and page numbers.
        const QSizeF page = QSizeF(writer.width(), writer.height()) * 96.0 / writer.resolution();
        missing = layOutManual(document, QString::fromUtf8(source.readAll()),
                               QFileInfo(markdownPath).absolutePath(), page);
        if (missing.isEmpty())
            document.print(&writer);
    }
    if (!missing.isEmpty()) {
        QFile::remove(partial);
        *error = QStringLiteral("pictures not found: ") + missing.join(QStringLiteral(", "));
        return false;
    }
    QFile::remove(pdfPath);
    if (!QFile::rename(partial, pdfPath)) {
        QFile::remove(partial);
        *error = QStringLiteral("cannot write ") + pdfPath;
        return false;
    }
    return true;
}

} // namespace norvex::tools
