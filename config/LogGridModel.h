#pragma once

#include <QAbstractTableModel>

namespace norvex::shared {
class TMlb2;
}

namespace norvex::config {

// The event log grid's content, read straight from the log table: kind, date and text of
// each entry in the table's order, row numbers in the vertical header, the kind cell
// coloured. Only the rows on screen are ever asked for, so a long history costs no widget
// items.
class LogGridModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    explicit LogGridModel(const shared::TMlb2 &log, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    // Bracket a change of the log table.
    void beginChange() { beginResetModel(); }
    void endChange() { endResetModel(); }

private:
    const shared::TMlb2 &m_log;
};

} // namespace norvex::config
