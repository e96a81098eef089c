#pragma once

#include <QString>

class QWidget;

namespace norvex::config {

// Every message box, question and file or folder dialog of the program goes through this,
// so tests answer them from a queue instead of racing a modal loop.
class Prompter
{
public:
    enum class Kind { Information, Warning, Error };

    virtual ~Prompter() = default;
    // A message with an OK button.
    virtual void message(const QString &text, Kind kind = Kind::Information) = 0;
    // A confirmation with the buttons Yes and Cancel; true only for Yes.
    virtual bool confirm(const QString &text) = 0;
    // A question with the buttons Yes and No, No being the default: for a decision whose
    // safe answer is no, such as trusting a server. True only for Yes.
    virtual bool question(const QString &text, Kind kind = Kind::Information) = 0;
    // A file-open dialog for one file; filter in Qt's form ("name (*.ext);;..."). Empty when
    // cancelled.
    virtual QString openFileName(const QString &title, const QString &filter) = 0;
    // A folder dialog. Empty when cancelled.
    virtual QString folderName(const QString &title) = 0;
};

// The real dialogs, parented to a window.
class QtPrompter : public Prompter
{
public:
    explicit QtPrompter(QWidget *parent) : m_parent(parent) {}
    void message(const QString &text, Kind kind = Kind::Information) override;
    bool confirm(const QString &text) override;
    bool question(const QString &text, Kind kind = Kind::Information) override;
    QString openFileName(const QString &title, const QString &filter) override;
    QString folderName(const QString &title) override;

private:
    QWidget *m_parent;
};

} // namespace norvex::config
