#include "config/TopPage.h"

#include "config/LinkLabel.h"
#include "config/Program.h"
#include "platform/Paths.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QVBoxLayout>

namespace norvex::config {

namespace {

// Drawn rather than shipped, so it follows the installed Japanese font.
QPixmap openingPicture(const QFont &base)
{
    QPixmap picture(720, 560);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, 0, picture.height());
    sky.setColorAt(0, QColor(22, 58, 110));
    sky.setColorAt(1, QColor(86, 150, 210));
    painter.fillRect(picture.rect(), sky);

    // A stack of archives under a shield: the idea of the program.
    painter.setPen(Qt::NoPen);
    for (int i = 0; i < 3; ++i) {
        painter.setBrush(QColor(255, 255, 255, 90 + 50 * i));
        painter.drawRoundedRect(QRectF(250 + 12 * i, 300 - 36 * i, 220, 44), 8, 8);
    }
    QPainterPath shield;
    shield.moveTo(360, 90);
    shield.lineTo(440, 120);
    shield.lineTo(430, 200);
    shield.quadTo(400, 250, 360, 270);
    shield.quadTo(320, 250, 290, 200);
    shield.lineTo(280, 120);
    shield.closeSubpath();
    painter.setBrush(QColor(255, 200, 60));
    painter.drawPath(shield);
    painter.setPen(QPen(QColor(22, 58, 110), 10, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.drawPolyline(QPolygonF({QPointF(330, 175), QPointF(355, 200), QPointF(395, 145)}));

    painter.setPen(Qt::white);
    QFont title = base;
    title.setPixelSize(64);
    title.setBold(true);
    painter.setFont(title);
    painter.drawText(QRect(0, 360, picture.width(), 80), Qt::AlignCenter, QStringLiteral("Norvex"));
    QFont sub = base;
    sub.setPixelSize(24);
    painter.setFont(sub);
    painter.drawText(QRect(0, 440, picture.width(), 36), Qt::AlignCenter,
                     QStringLiteral("ノルベクス Ver1.00"));
    sub.setPixelSize(18);
    painter.setFont(sub);
    painter.drawText(QRect(0, 480, picture.width(), 30), Qt::AlignCenter,
                     QStringLiteral("スケジュールバックアップシステム"));
    return picture;
}

} // namespace

TTopPage::TTopPage(Program &program, QWidget *parent) : TPage(parent)
{
    setObjectName(QStringLiteral("TabTop"));
    auto *picture = new TLinkLabel(openingPicture(font()), QStringLiteral("Norvex"), this);
    picture->setObjectName(QStringLiteral("ImgTop"));
    Q_UNUSED(program);
    const QString target = makerPage(platform::programFilesFolder());
    connect(picture, &TLinkLabel::clicked, this, [target] { openWithShell(target); });
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(picture, 0, Qt::AlignCenter);
}

QString TTopPage::makerPage(const QString &installFolder)
{
    return installFolder + QStringLiteral("web/norvex.html");
}

} // namespace norvex::config
