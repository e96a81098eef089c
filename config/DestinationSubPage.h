#pragma once

#include <QString>
#include <QWidget>

class QGridLayout;
class QLabel;
class QLineEdit;
class QSpinBox;

namespace norvex::shared {
class TMlb2;
struct JobInput;
enum class JobInputField;
} // namespace norvex::shared

namespace norvex::config {

class Program;

// A component name of the job editor: the change page inserts "Mod" after the three-letter
// kind prefix ("EdtSFTPHost" becomes "EdtModSFTPHost").
QString componentName(const QString &base, bool change);

// The inputs of one destination kind below the editor's destination choice. The editor
// shows exactly one of them, the one that belongs to the chosen kind.
class TDestinationSubPage : public QWidget
{
    Q_OBJECT

public:
    TDestinationSubPage(Program &program, bool change, QWidget *parent = nullptr);

    // Empties the inputs; ports go back to their defaults.
    virtual void reset() = 0;
    // Fills the inputs from the job table's current record; raises EConvertError for a
    // stored value that does not convert.
    virtual void load(const shared::TMlb2 &job) = 0;
    // Puts this kind's inputs into the editor's input value.
    virtual void read(shared::JobInput &input) const = 0;
    // The input that gets the focus for a problem with `field`; null when none of this page.
    virtual QWidget *inputFor(shared::JobInputField field) const = 0;

protected:
    QString name(const char *base) const;
    // A caption in column `column` of `row` with its input beside it.
    QLabel *addRow(QGridLayout *grid, int row, int column, const QString &caption, QWidget *input);
    QLineEdit *lineEdit(const char *base, bool secret = false);
    // Whole numbers without limits: nothing about a port is validated.
    QSpinBox *portBox(const char *base, int value);

    Program &m_program;
    const bool m_change;
};

} // namespace norvex::config
