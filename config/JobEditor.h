#pragma once

#include "config/Page.h"

#include <QDateTime>
#include <QStringList>

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QDateTimeEdit;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;
class QStackedWidget;

namespace norvex::shared {
class TMlb2;
struct JobInput;
} // namespace norvex::shared

namespace norvex::config {

class Program;
class TDestinationSubPage;
class TFrmSelect;

// The job editor: the add page ("TabAddBackUp") or, with `change`, the change page
// ("TabEditBackUp"). Both have the same inputs; the change page's component names carry
// "Mod" after their kind prefix.
class TJobEditor : public TPage
{
    Q_OBJECT

public:
    TJobEditor(Program &program, bool change, QWidget *parent = nullptr);

    bool isChangePage() const { return m_change; }
    // Add page: resets every input (the interval keeps its last values). Change page: loads
    // the job whose number is the program's edited job number.
    void showAction() override;

    // Puts the focus on the backup name (the job list's edit action does so).
    void focusName();
    // The dialog the selection buttons open; shared by both pages for the whole run.
    void setSelectDialog(TFrmSelect *dialog) { m_select = dialog; }
    QStringList sourceList() const;
    // The source selection dialog's OK: the list becomes the page's source list, and the
    // add page offers re-selection from then on.
    void acceptSelection(const QStringList &paths);

private:
    enum Kind { Sftp, Ftp, Local };

    void buildInputs();
    QWidget *buildDestination();
    QWidget *buildInterval();
    QWidget *buildOptions();
    QWidget *buildButtons();
    QString name(const char *base) const;
    template <class W>
    W *named(W *widget, const char *base);

    void resetAddPage();
    void loadJob();
    void setSourceList(const QStringList &paths);
    void setFirstSelection(bool first);
    void applyArchiveRule();
    void applyStartTimeRule();

    // OK and its steps (JobEditorSave.cpp).
    void BotOkClick();
    // The in-progress check; a failed service state query puts its text in `failure`.
    bool backupInProgress(QString *failure);
    // The inputs as the checks and the write take them.
    shared::JobInput input() const;
    bool validate();
    bool save();

    Program &m_program;
    const bool m_change;
    TFrmSelect *m_select = nullptr;
    // The change page's job as loaded: its position and name find it again in the file.
    int m_loadedNumber = 0;
    QString m_loadedName;
    // The start as loaded: while the inputs still show it, OK keeps the file's next run time.
    QDateTime m_loadedStart;

    QLineEdit *m_name;
    QListWidget *m_sources;
    QPlainTextEdit *m_excludes;
    QPushButton *m_selectFirst = nullptr;
    QPushButton *m_selectAgain;
    QComboBox *m_kind;
    QStackedWidget *m_kindPages;
    TDestinationSubPage *m_subPages[3];
    QSpinBox *m_interval;
    QComboBox *m_unit;
    QLineEdit *m_startDate;
    QDateTimeEdit *m_startTime;
    QCheckBox *m_createFolder;
    QLineEdit *m_folderName;
    QCheckBox *m_arcPassOn;
    QLineEdit *m_arcPass;
    QCheckBox *m_sedaiOn;
    QSpinBox *m_sedaiNum;
    QButtonGroup *m_format;
    QPushButton *m_ok;
};

} // namespace norvex::config
