#pragma once

#include "config/Page.h"

class QCheckBox;
class QGroupBox;
class QLineEdit;
class QPushButton;
class QSpinBox;

namespace norvex::config {

class Program;

// The options page (TabOption): the temporary folder in which the service builds its
// archives (setting TmpFolder of section Option), read by the service when it starts, and
// the settings of what the service does after a run: the notification command (with a
// button that runs it once), how often a failed run is retried, whether archives are
// checked before they are sent.
class TOptionPage : public TPage
{
    Q_OBJECT

public:
    explicit TOptionPage(Program &program, QWidget *parent = nullptr);

    void showAction() override;
    // Whether the notification command started by the test button is still running.
    bool notifyTestRunning() const { return m_notifyTestRunning; }

private:
    void BotOkClick();
    void browse();
    void BotNotifyTestClick();

    Program &m_program;
    QCheckBox *m_check;
    QGroupBox *m_group;
    QLineEdit *m_folder;
    QLineEdit *m_notifyCommand;
    QPushButton *m_notifyTest;
    QSpinBox *m_retryCount;
    QCheckBox *m_verifyArchive;
    bool m_notifyTestRunning = false;
};

} // namespace norvex::config
