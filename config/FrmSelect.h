#pragma once

#include "platform/Volumes.h"

#include <QDialog>
#include <QStringList>

#include <functional>

class QListWidget;
class QTreeWidget;
class QTreeWidgetItem;

namespace norvex::config {

class Program;
class TJobEditor;

// The source selection dialog: the volumes and folders as a tree, the chosen folder's
// entries, and the collected selection with a check box per line. It lives for the whole
// run, keeps the folder it showed last, has no close box and closes only by OK or Cancel.
class TFrmSelect : public QDialog
{
    Q_OBJECT

public:
    using VolumeSource = std::function<QList<platform::Volume>()>;

    // The tree root's path.
    static const QString MyComputer;

    // `volumes` lists the tree's volumes (tests invent some); by default the mounted ones.
    explicit TFrmSelect(Program &program, QWidget *parent = nullptr, VolumeSource volumes = {});

    // The two editor pages; each one's selection buttons open this dialog, and OK delivers
    // to the add page when it is current, otherwise to the change page.
    void attachEditors(TJobEditor *addPage, TJobEditor *changePage);

    // The first selection of the add page: starts empty and waits until closed.
    void openModal();
    // Re-selection: starts with an editor's source list; the main window stays usable.
    void openModeless(const QStringList &paths);

    QStringList selection() const;
    // Expands the tree down to a folder below one of the volumes and selects it.
    bool showFolder(const QString &path);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void BotSelectClick();
    void BotDeleteClick();
    void BotAllDeleteClick();
    void BotOkClick();

    void setSelection(const QStringList &paths);
    void addPath(const QString &path);
    QString treePath() const;
    void fillList(QTreeWidgetItem *folder);
    void loadSubfolders(QTreeWidgetItem *folder);
    QTreeWidgetItem *folderItem(QTreeWidgetItem *parent, const QString &caption,
                                const QString &path);

    Program &m_program;
    VolumeSource m_volumes;
    TJobEditor *m_addPage = nullptr;
    TJobEditor *m_changePage = nullptr;
    QTreeWidget *m_tree;
    QTreeWidget *m_files;
    QListWidget *m_selection;
};

} // namespace norvex::config
