#pragma once

#include "config/Page.h"

class QCheckBox;
class QGroupBox;
class QLineEdit;
class QPushButton;

namespace norvex::config {

class Program;

// The options page (TabOption): the temporary folder in which the service builds its
// archives (setting TmpFolder of section Option), read by the service when it starts.
class TOptionPage : public TPage
{
    Q_OBJECT

public:
    explicit TOptionPage(Program &program, QWidget *parent = nullptr);

    void showAction() override;

private:
    void BotOkClick();
    void browse();

    Program &m_program;
    QCheckBox *m_check;
    QGroupBox *m_group;
    QLineEdit *m_folder;
};

} // namespace norvex::config
