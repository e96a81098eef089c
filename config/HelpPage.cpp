#include "config/HelpPage.h"

#include "config/Heading.h"
#include "config/LinkLabel.h"
#include "config/Program.h"
#include "platform/Paths.h"

#include <QPainter>
#include <QPixmap>
#include <QVBoxLayout>

namespace norvex::config {

namespace {

QPixmap readerBanner(const QFont &base)
{
    QPixmap banner(176, 62);
    QPainter painter(&banner);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillRect(banner.rect(), QColor(190, 20, 30));
    painter.setPen(Qt::white);
    painter.setBrush(Qt::white);
    painter.drawRoundedRect(QRectF(10, 10, 32, 42), 4, 4);
    painter.setPen(QColor(190, 20, 30));
    QFont small = base;
    small.setPixelSize(11);
    small.setBold(true);
    painter.setFont(small);
    painter.drawText(QRect(10, 10, 32, 42), Qt::AlignCenter, QStringLiteral("PDF"));
    painter.setPen(Qt::white);
    QFont text = base;
    text.setPixelSize(14);
    text.setBold(true);
    painter.setFont(text);
    painter.drawText(QRect(50, 8, 122, 24), Qt::AlignLeft | Qt::AlignVCenter,
                     QStringLiteral("PDFリーダー"));
    text.setPixelSize(12);
    text.setBold(false);
    painter.setFont(text);
    painter.drawText(QRect(50, 32, 122, 22), Qt::AlignLeft | Qt::AlignVCenter,
                     QStringLiteral("の入手について"));
    return banner;
}

} // namespace

THelpPage::THelpPage(Program &program, QWidget *parent) : TPage(parent)
{
    setObjectName(QStringLiteral("TabHelp"));
    Q_UNUSED(program);
    // The manual and the pages ship with the programs; in a folder install that is the
    // installation folder.
    const QString manual = manualPath(platform::programFilesFolder());
    const QString reader = readerPage(platform::programFilesFolder());

    auto *link = new TLinkLabel(QStringLiteral("Norvexマニュアル (PDFファイル)"), this);
    link->setObjectName(QStringLiteral("LblManual"));
    connect(link, &TLinkLabel::clicked, this, [manual] { openWithShell(manual); });
    auto *banner = new TLinkLabel(readerBanner(font()), QStringLiteral("PDFリーダー"), this);
    banner->setObjectName(QStringLiteral("ImgReader"));
    connect(banner, &TLinkLabel::clicked, this, [reader] { openWithShell(reader); });
    auto *lines = new QLabel(
        QStringLiteral("PDF形式のファイルをご覧いただく場合には、Adobe Readerが必要です。\n"
                       "Adobe Readerをお持ちでない方は、バナーのリンク先からダウンロードしてくだ"
                       "さい。"),
        this);
    lines->setObjectName(QStringLiteral("LblReader"));
    lines->setWordWrap(true);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(pageHeading(QStringLiteral("ヘルプ"), this));
    layout->addSpacing(16);
    layout->addWidget(link, 0, Qt::AlignLeft);
    layout->addSpacing(24);
    layout->addWidget(banner, 0, Qt::AlignLeft);
    layout->addWidget(lines);
    layout->addStretch(1);
}

QString THelpPage::manualPath(const QString &installFolder)
{
    return installFolder + QStringLiteral("norvex1_0usersmanual.pdf");
}

QString THelpPage::readerPage(const QString &installFolder)
{
    return installFolder + QStringLiteral("web/pdf-reader.html");
}

} // namespace norvex::config
