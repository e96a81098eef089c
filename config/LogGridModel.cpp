#include "config/LogGridModel.h"

#include "shared/mlb2.h"

#include <QColor>

namespace norvex::config {

namespace {

const char *const Titles[] = {"種類", "日付", "内容"};
const char *const Fields[] = {"logcategory", "logdate", "logtext"};

} // namespace

LogGridModel::LogGridModel(const shared::TMlb2 &log, QObject *parent)
    : QAbstractTableModel(parent), m_log(log)
{
}

int LogGridModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_log.RecordCount();
}

int LogGridModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : 3;
}

QVariant LogGridModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.column() > 2)
        return {};
    const int position = m_log.FieldPosition(QLatin1String(Fields[index.column()]));
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        if (role == Qt::ToolTipRole && index.column() != 2)
            return {};
        return m_log.Cell(position, index.row() + 1);
    case Qt::BackgroundRole: {
        // Any cell with a kind letter is coloured; only the kind column holds such texts.
        const QString text = m_log.Cell(position, index.row() + 1);
        if (text == QLatin1String("I"))
            return QColor(0, 128, 0);
        if (text == QLatin1String("W"))
            return QColor(255, 255, 0);
        if (text == QLatin1String("E"))
            return QColor(255, 0, 0);
        return {};
    }
    case Qt::ForegroundRole: {
        // Readable on the dark green and the red.
        const QString text = m_log.Cell(position, index.row() + 1);
        if (text == QLatin1String("I") || text == QLatin1String("E"))
            return QColor(Qt::white);
        return {};
    }
    case Qt::TextAlignmentRole:
        return index.column() == 2 ? QVariant(Qt::AlignLeft | Qt::AlignVCenter)
                                   : QVariant(Qt::AlignCenter);
    default:
        return {};
    }
}

QVariant LogGridModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role != Qt::DisplayRole)
        return {};
    if (orientation == Qt::Vertical)
        return QString::number(section + 1);
    if (section >= 0 && section < 3)
        return QString::fromUtf8(Titles[section]);
    return {};
}

} // namespace norvex::config
