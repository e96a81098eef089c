#include "config/DestinationSubPage.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>

#include <limits>

namespace norvex::config {

QString componentName(const QString &base, bool change)
{
    return change ? base.left(3) + QStringLiteral("Mod") + base.mid(3) : base;
}

TDestinationSubPage::TDestinationSubPage(Program &program, bool change, QWidget *parent)
    : QWidget(parent), m_program(program), m_change(change)
{
}

QString TDestinationSubPage::name(const char *base) const
{
    return componentName(QString::fromLatin1(base), m_change);
}

QLabel *TDestinationSubPage::addRow(QGridLayout *grid, int row, int column, const QString &caption,
                                    QWidget *input)
{
    auto *label = new QLabel(caption, this);
    label->setBuddy(input);
    grid->addWidget(label, row, column);
    grid->addWidget(input, row, column + 1);
    return label;
}

QLineEdit *TDestinationSubPage::lineEdit(const char *base, bool secret)
{
    auto *edit = new QLineEdit(this);
    edit->setObjectName(name(base));
    if (secret)
        edit->setEchoMode(QLineEdit::Password);
    return edit;
}

QSpinBox *TDestinationSubPage::portBox(const char *base, int value)
{
    auto *spin = new QSpinBox(this);
    spin->setObjectName(name(base));
    spin->setRange(std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
    spin->setValue(value);
    spin->setMinimumWidth(90);
    return spin;
}

} // namespace norvex::config
