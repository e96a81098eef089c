#pragma once

#include "config/Prompter.h"

#include <QQueue>
#include <QStringList>

namespace norvex::testing {

// Answers the program's questions and dialogs from queues and records every text shown.
// A question or dialog with no queued answer is recorded in `unexpected` and answered
// Cancel (or empty), so a test that did not expect it fails on that list, not by hanging.
class QueuePrompter : public config::Prompter
{
public:
    struct Shown
    {
        QString text;
        Kind kind;
        bool question;
        bool yesNo = false; // question() (Yes and No), not confirm() (Yes and Cancel)
    };

    QQueue<bool> answers;      // confirm() and question(): true for Yes
    QQueue<QString> fileNames; // openFileName() and folderName()
    QList<Shown> shown;        // messages and questions, in order
    QStringList dialogTitles;  // titles of the file and folder dialogs
    QStringList unexpected;

    void message(const QString &text, Kind kind = Kind::Information) override
    {
        shown.append({text, kind, false});
    }
    bool confirm(const QString &text) override { return answer({text, Kind::Information, true}); }
    bool question(const QString &text, Kind kind = Kind::Information) override
    {
        return answer({text, kind, true, true});
    }
    QString openFileName(const QString &title, const QString &filter) override
    {
        dialogTitles.append(title + QLatin1Char('|') + filter);
        return nextName(title);
    }
    QString folderName(const QString &title) override
    {
        dialogTitles.append(title);
        return nextName(title);
    }

    // The texts shown, messages and questions alike.
    QStringList texts() const
    {
        QStringList out;
        for (const Shown &s : shown)
            out.append(s.text);
        return out;
    }
    QString lastText() const { return shown.isEmpty() ? QString() : shown.last().text; }

private:
    bool answer(const Shown &asked)
    {
        shown.append(asked);
        if (answers.isEmpty()) {
            unexpected.append(asked.text);
            return false;
        }
        return answers.dequeue();
    }
    QString nextName(const QString &title)
    {
        if (fileNames.isEmpty()) {
            unexpected.append(title);
            return {};
        }
        return fileNames.dequeue();
    }
};

} // namespace norvex::testing
