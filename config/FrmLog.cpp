#include "config/FrmLog.h"

#include "shared/EventLog.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

namespace norvex::config {

namespace {

QLabel *iconLabel(QWidget *parent, const char *name, QStyle::StandardPixmap picture)
{
    auto *label = new QLabel(parent);
    label->setObjectName(QLatin1String(name));
    label->setPixmap(parent->style()->standardIcon(picture).pixmap(32, 32));
    label->setFixedSize(36, 36);
    label->setAlignment(Qt::AlignCenter);
    label->hide();
    return label;
}

QLabel *valueLabel(QWidget *parent, const char *name)
{
    auto *label = new QLabel(parent);
    label->setObjectName(QLatin1String(name));
    label->setTextFormat(Qt::PlainText);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

} // namespace

TFrmLog::TFrmLog(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("FrmLog"));
    setWindowTitle(QStringLiteral("イベントログ詳細"));
    shared::setupLogTable(m_entries);

    m_imgError = iconLabel(this, "ImgError", QStyle::SP_MessageBoxCritical);
    m_imgWarning = iconLabel(this, "ImgWarning", QStyle::SP_MessageBoxWarning);
    m_imgInfo = iconLabel(this, "ImgInfo", QStyle::SP_MessageBoxInformation);
    auto *icons = new QVBoxLayout;
    icons->addWidget(m_imgError);
    icons->addWidget(m_imgWarning);
    icons->addWidget(m_imgInfo);
    icons->addStretch(1);

    m_date = valueLabel(this, "LblDate");
    m_time = valueLabel(this, "LblTime");
    m_text = valueLabel(this, "LblText");
    m_text->setWordWrap(true);
    m_details = new QPlainTextEdit(this);
    m_details->setObjectName(QStringLiteral("MemDetail"));
    m_details->setReadOnly(true);

    auto *dateCaption = new QLabel(QStringLiteral("日付"), this);
    auto *timeCaption = new QLabel(QStringLiteral("時刻"), this);
    auto *detailsCaption = new QLabel(QStringLiteral("詳細"), this);
    detailsCaption->setBuddy(m_details);

    auto *fields = new QGridLayout;
    fields->addWidget(dateCaption, 0, 0);
    fields->addWidget(m_date, 0, 1);
    fields->addWidget(timeCaption, 1, 0);
    fields->addWidget(m_time, 1, 1);
    fields->setColumnStretch(1, 1);

    auto *top = new QHBoxLayout;
    top->addLayout(icons);
    top->addLayout(fields, 1);

    auto *prior = new QPushButton(QStringLiteral("前へ"), this);
    prior->setObjectName(QStringLiteral("BotPrior"));
    prior->setAutoDefault(false);
    auto *next = new QPushButton(QStringLiteral("次へ"), this);
    next->setObjectName(QStringLiteral("BotNext"));
    next->setAutoDefault(false);
    auto *ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("BotOk"));
    ok->setDefault(true);
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(prior);
    buttons->addWidget(next);
    buttons->addStretch(1);
    buttons->addWidget(ok);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(m_text);
    layout->addWidget(detailsCaption);
    layout->addWidget(m_details, 1);
    layout->addLayout(buttons);
    resize(520, 380);

    connect(prior, &QPushButton::clicked, this, &TFrmLog::BotPriorClick);
    connect(next, &QPushButton::clicked, this, &TFrmLog::BotNextClick);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

void TFrmLog::showEntries(const shared::TMlb2 &log, int row)
{
    m_entries.CopyFrom(log);
    m_entries.GoToRecord(row + 1);
    display();
}

void TFrmLog::BotPriorClick()
{
    // At the first entry the cursor stays and that entry is shown again.
    m_entries.Prior();
    display();
}

void TFrmLog::BotNextClick()
{
    m_entries.Next();
    display();
}

void TFrmLog::display()
{
    const QString category = m_entries.FieldByName(QStringLiteral("logcategory"));
    // Another kind letter leaves the icons as they were.
    if (category == QLatin1String("E") || category == QLatin1String("W") ||
        category == QLatin1String("I")) {
        m_imgError->setVisible(category == QLatin1String("E"));
        m_imgWarning->setVisible(category == QLatin1String("W"));
        m_imgInfo->setVisible(category == QLatin1String("I"));
    }
    m_text->setText(m_entries.FieldByName(QStringLiteral("logtext")));
    const QString stamp = m_entries.FieldByName(QStringLiteral("logdate"));
    m_date->setText(stamp.left(10));
    m_time->setText(stamp.right(12));
    QString details =
        shared::logTextForDisplay(m_entries.FieldByName(QStringLiteral("logtextadd")));
    details.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    m_details->setPlainText(details);
}

} // namespace norvex::config
