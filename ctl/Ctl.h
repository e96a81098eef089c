#pragma once

// What the subcommands of norvexctl share: the exit codes, the arguments, the output, and
// the look-ups every job command starts with.

#include "shared/mlb2.h"

#include <QString>
#include <QStringList>

#include <map>
#include <stdexcept>

namespace norvex::shared {
struct JobInput;
}

namespace norvex::ctl {

enum ExitCode : int {
    Success = 0,
    Failure = 1,
    Usage = 2,
    InProgress = 3, // refused because a backup is in progress
    NoSuchJob = 4,
};

// A wrong command line: the message goes to standard error and the program exits with 2.
class UsageError : public std::runtime_error
{
public:
    explicit UsageError(const QString &text) : std::runtime_error(text.toStdString()) {}
    QString text() const { return QString::fromStdString(what()); }
};

// One subcommand's arguments: options (with or without a value, each as often as given) and
// the positional words in order. An option not in `flags` or `valued` is a usage error.
class Arguments
{
public:
    Arguments(const QStringList &words, const QStringList &flags, const QStringList &valued);

    bool has(const QString &option) const { return m_options.count(option) > 0; }
    // The last value given; `fallback` when the option is absent.
    QString value(const QString &option, const QString &fallback = QString()) const;
    QStringList values(const QString &option) const;
    const QStringList &positional() const { return m_positional; }
    // Usage error unless there are between min and max positional words.
    void expectPositional(int min, int max, const QString &what) const;
    // Usage error when more than one of the options is given.
    void exclusive(const QStringList &options) const;

private:
    std::multimap<QString, QString> m_options;
    QStringList m_positional;
};

// Standard output and error in UTF-8; CR LF of the window's texts become LF.
void out(const QString &text);
void err(const QString &text);
bool stdinIsTerminal();
bool stdoutIsTerminal();
// Reads one line of standard input: true only for "y" or "yes".
bool answeredYes();

// A job of the job table file, found by its name.
struct FoundJob
{
    int number = 0; // 1-based
    QString name;
};

class Context
{
public:
    Context();

    const QString &installFolder() const { return m_folder; }
    QString jobTablePath() const;
    // Reads the job table file into `table`; an unreadable file prints why and returns false.
    bool loadJobs(shared::TMlb2 &table) const;
    // Reads the table and finds the job; prints a message and returns NoSuchJob or Failure
    // when it cannot, Success otherwise.
    int findJob(shared::TMlb2 &table, const QString &name, FoundJob *job) const;
    // The same, and the job's settings as the editor loads them.
    int findJob(shared::TMlb2 &table, const QString &name, FoundJob *job,
                shared::JobInput *input) const;

    // The window's rule for changing the jobs, with a service that serves this folder
    // counted as running however it was started. Success, or the exit code after the
    // message: InProgress, or Failure when the service's state could not be queried.
    int refuseWhileInProgress(shared::TMlb2 &table) const;
    // Whether a service serves this installation folder (its lock is held; the service
    // manager's state where the lock table cannot be read). A failure leaves the text in
    // `failure` and returns false.
    bool serviceServes(QString *failure) const;

private:
    QString m_folder;
};

// The subcommands; each returns its exit code.
int listCommand(const Context &context, const QStringList &words);
int showCommand(const Context &context, const QStringList &words);
int addCommand(const Context &context, const QStringList &words);
int changeCommand(const Context &context, const QStringList &words);
int deleteCommand(const Context &context, const QStringList &words);
int runCommand(const Context &context, const QStringList &words);
int checkCommand(const Context &context, const QStringList &words);
int logCommand(const Context &context, const QStringList &words);
int serviceCommand(const Context &context, const QStringList &words);
int generationsCommand(const Context &context, const QStringList &words);
int restoreCommand(const Context &context, const QStringList &words);

QString helpText();

} // namespace norvex::ctl
