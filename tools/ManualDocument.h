#pragma once

#include <QSizeF>
#include <QString>
#include <QStringList>

class QTextDocument;

namespace norvex::tools {

// Lays the Markdown manual out on pages of `pageSize` (the document's pixels, 96 per inch).
// Pictures are read relative to `baseFolder` and scaled down to 85 % of the text width,
// keeping their proportions; smaller ones are left at their size. A picture alone in its
// paragraph is centred, with its Markdown text as a caption below it. Returns the pictures that
// could not be read, which would otherwise come out as empty boxes.
QStringList layOutManual(QTextDocument &document, const QString &markdown,
                         const QString &baseFolder, const QSizeF &pageSize);

// Writes the manual at `markdownPath` as an A4 PDF to `pdfPath` (whole or not at all).
// On failure returns false with the reason in `error`.
bool writeManualPdf(const QString &markdownPath, const QString &pdfPath, QString *error);

} // namespace norvex::tools
