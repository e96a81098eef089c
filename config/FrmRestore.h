#pragma once

// The restore dialog of one job: its stored generations, the chosen generation's content
// as a tree with check boxes, the target folder, "上書きする", and a progress bar with the
// current file, the bytes and the time left. Listing, downloading and restoring run on a
// thread of the dialog's own, so the window stays responsive; "キャンセル" stops a download
// or a restore (the files finished so far stay, and the summary says so).

#include "restore/Generations.h"
#include "restore/Restore.h"

#include <QDialog>
#include <QElapsedTimer>

#include <atomic>
#include <memory>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QThread;
class QTreeWidget;
class QTreeWidgetItem;

namespace norvex::config {

class Prompter;

class TFrmRestore : public QDialog
{
    Q_OBJECT

public:
    // temporaryFolder: where a remote generation is downloaded to; home: where the default
    // target folder is made.
    TFrmRestore(const restore::JobLocation &job, Prompter &prompter, const QString &temporaryFolder,
                const QString &home, QWidget *parent = nullptr);
    ~TFrmRestore() override;

    // Starts listing the generations (the dialog does this when first shown).
    void refresh();
    // Whether listing, downloading or restoring is under way.
    bool busy() const { return m_busy; }
    const restore::RestoreSummary &lastSummary() const { return m_summary; }

protected:
    void showEvent(QShowEvent *event) override;
    void reject() override;

private:
    void generationChosen();
    void BotBrowseClick();
    void BotRestoreClick();
    void BotCancelClick();

    // Runs work on the worker thread; done on this dialog's thread afterwards.
    void runInWorker(std::function<void()> work);
    void setBusy(bool busy);
    void showGenerations(const QList<restore::Generation> &list, const QString &error);
    void showContent(const QString &error);
    void showProgress(const restore::RestoreProgress &progress);
    void showSummary(const restore::RestoreSummary &summary);
    QList<QByteArray> chosenPaths() const;

    restore::JobLocation m_job;
    Prompter &m_prompter;
    QString m_temporaryFolder;
    QString m_home;

    QTreeWidget *m_generations;
    QTreeWidget *m_content;
    QLineEdit *m_target;
    QPushButton *m_browse;
    QCheckBox *m_overwrite;
    QLineEdit *m_password; // 7z jobs: the job's password, offered and changeable
    QProgressBar *m_progress;
    QLabel *m_current;
    QLabel *m_bytes;
    QPlainTextEdit *m_summaryText;
    QPushButton *m_restore;
    QPushButton *m_cancel;
    QPushButton *m_close;

    QThread *m_thread;
    QObject *m_worker; // lives on m_thread
    std::atomic<bool> m_cancelRequested{false};
    bool m_busy = false;
    bool m_listed = false;
    QElapsedTimer m_elapsed;
    // Used on the worker thread only, between the calls runInWorker makes.
    std::unique_ptr<restore::FetchedArchive> m_fetched;
    std::unique_ptr<restore::RestoreArchive> m_archive;
    QString m_openedWith; // the password m_archive was opened with
    QString m_openedKind; // the file name m_archive was opened as
    restore::RestoreSummary m_summary;
};

} // namespace norvex::config
