#pragma once

#include "shared/mlb2.h"

#include <QDialog>

class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace norvex::config {

// The entry dialog: one event log entry in full, with Previous and Next through the
// entries as they were shown when it opened. It works on its own copy, so reloads of the
// page while it is open change nothing here.
class TFrmLog : public QDialog
{
    Q_OBJECT

public:
    explicit TFrmLog(QWidget *parent = nullptr);

    // Copies `log` (the entries as shown, in that order) and shows its 0-based `row`.
    void showEntries(const shared::TMlb2 &log, int row);
    const shared::TMlb2 &entries() const { return m_entries; }

private:
    void BotPriorClick();
    void BotNextClick();
    void display();

    shared::TMlb2 m_entries;
    QLabel *m_imgError = nullptr;
    QLabel *m_imgWarning = nullptr;
    QLabel *m_imgInfo = nullptr;
    QLabel *m_date = nullptr;
    QLabel *m_time = nullptr;
    QLabel *m_text = nullptr;
    QPlainTextEdit *m_details = nullptr;
};

} // namespace norvex::config
