#pragma once

#include <QHeaderView>
#include <QScrollBar>
#include <QString>
#include <QWidget>

namespace norvex::config {

// A grid (QTableView or QTableWidget) whose column titles are repeated under its rows, in a
// footer that keeps the columns' widths and follows the horizontal scrolling. A grid given
// its model after construction passes it on with setFooterModel().
template <class View>
class FooterGrid : public View
{
public:
    FooterGrid(const QString &footerName, QWidget *parent)
        : View(parent), m_footer(new QHeaderView(Qt::Horizontal, this)), m_corner(new QWidget(this))
    {
        m_corner->setAutoFillBackground(true);
        m_footer->setObjectName(footerName);
        m_footer->setSectionsClickable(false);
        m_footer->setHighlightSections(false);
        m_footer->setFocusPolicy(Qt::NoFocus);
        m_footer->setSectionResizeMode(QHeaderView::Fixed);
        setFooterModel(this->model());
        QObject::connect(
            this->horizontalHeader(), &QHeaderView::sectionResized, m_footer,
            [this](int column, int, int size) { m_footer->resizeSection(column, size); });
        QObject::connect(this->horizontalScrollBar(), &QScrollBar::valueChanged, m_footer,
                         [this] { m_footer->setOffset(this->horizontalHeader()->offset()); });
    }

    void setFooterModel(QAbstractItemModel *model) { m_footer->setModel(model); }

protected:
    void updateGeometries() override
    {
        View::updateGeometries();
        const int height = m_footer->sizeHint().height();
        this->setViewportMargins(
            this->verticalHeader()->isVisible() ? this->verticalHeader()->width() : 0,
            this->horizontalHeader()->height(), 0, height);
        const QRect area = this->viewport()->geometry();
        m_footer->setGeometry(area.left(), area.bottom() + 1, area.width(), height);
        // Covers the row-number gutter beside the footer.
        m_corner->setGeometry(this->frameWidth(), area.bottom() + 1,
                              area.left() - this->frameWidth(), height);
        m_corner->raise();
    }

private:
    QHeaderView *m_footer;
    QWidget *m_corner;
};

} // namespace norvex::config
