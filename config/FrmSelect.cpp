#include "config/FrmSelect.h"

#include "config/JobEditor.h"
#include "config/Program.h"
#include "config/Prompter.h"

#include <QAction>
#include <QCloseEvent>
#include <QDir>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QListWidget>
#include <QPushButton>
#include <QSplitter>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace norvex::config {

namespace {

enum Role { PathRole = Qt::UserRole, NameRole, KindRole };
enum Column { NameColumn, SizeColumn, TypeColumn, DateColumn };

const QString kHardDisk = QStringLiteral("ハードディスク");

QString volumeCaption(const platform::Volume &v)
{
    return v.label.isEmpty() ? v.mountPath : QStringLiteral("%1 (%2)").arg(v.label, v.mountPath);
}

QString joinPath(const QString &folder, const QString &name)
{
    return folder.endsWith(QLatin1Char('/')) ? folder + name : folder + QLatin1Char('/') + name;
}

QPushButton *button(const QString &caption, const char *name, QWidget *parent)
{
    auto *b = new QPushButton(caption, parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setAutoDefault(false);
    b->setMinimumWidth(b->sizeHint().width() + 24);
    return b;
}

} // namespace

const QString TFrmSelect::MyComputer = QStringLiteral("My Computer");

TFrmSelect::TFrmSelect(Program &program, QWidget *parent, VolumeSource volumes)
    : QDialog(parent), m_program(program), m_volumes(std::move(volumes))
{
    if (!m_volumes)
        m_volumes = [] { return platform::localVolumes(); };
    setObjectName(QStringLiteral("FrmSelect"));
    setWindowTitle(QStringLiteral("バックアップ対象フォルダ、ファイル選択"));
    // Closed only by its buttons.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    resize(820, 580);

    m_tree = new QTreeWidget(this);
    m_tree->setObjectName(QStringLiteral("TreDir"));
    m_tree->setHeaderHidden(true);
    m_tree->setAccessibleName(QStringLiteral("フォルダ"));
    m_files = new QTreeWidget(this);
    m_files->setObjectName(QStringLiteral("LstFile"));
    m_files->setAccessibleName(QStringLiteral("ファイル"));
    m_files->setRootIsDecorated(false);
    m_files->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_files->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_files->setHeaderLabels({QStringLiteral("名前"), QStringLiteral("サイズ"),
                              QStringLiteral("種類"), QStringLiteral("更新日時")});
    m_files->header()->resizeSection(NameColumn, 200);
    m_files->header()->resizeSection(SizeColumn, 70);
    m_files->header()->resizeSection(TypeColumn, 100);
    auto *split = new QSplitter(this);
    split->addWidget(m_tree);
    split->addWidget(m_files);
    split->setSizes({240, 500});

    m_selection = new QListWidget(this);
    m_selection->setObjectName(QStringLiteral("LstSelect"));
    m_selection->setAccessibleName(QStringLiteral("バックアップ対象"));
    auto *select = button(QStringLiteral("フォルダ、ファイル選択"), "BotSelect", this);
    auto *remove = button(QStringLiteral("選択項目削除"), "BotDelete", this);
    auto *removeAll = button(QStringLiteral("全項目削除"), "BotAllDelete", this);
    auto *ok = button(QStringLiteral("OK"), "BotOk", this);
    auto *cancel = button(QStringLiteral("キャンセル"), "BotCancel", this);
    auto *buttons = new QVBoxLayout;
    for (QPushButton *b : {select, remove, removeAll})
        buttons->addWidget(b);
    buttons->addStretch(1);
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    auto *bottom = new QHBoxLayout;
    bottom->addWidget(m_selection, 1);
    bottom->addLayout(buttons);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(split, 3);
    layout->addLayout(bottom, 2);

    auto *add = new QAction(QStringLiteral("バックアップ対象に追加"), this);
    add->setObjectName(QStringLiteral("MnuAdd"));
    for (QWidget *w : {static_cast<QWidget *>(m_tree), static_cast<QWidget *>(m_files)}) {
        w->setContextMenuPolicy(Qt::ActionsContextMenu);
        w->addAction(add);
    }

    connect(add, &QAction::triggered, this, &TFrmSelect::BotSelectClick);
    connect(select, &QPushButton::clicked, this, &TFrmSelect::BotSelectClick);
    connect(remove, &QPushButton::clicked, this, &TFrmSelect::BotDeleteClick);
    connect(removeAll, &QPushButton::clicked, this, &TFrmSelect::BotAllDeleteClick);
    connect(ok, &QPushButton::clicked, this, &TFrmSelect::BotOkClick);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_files, &QTreeWidget::itemDoubleClicked, this, &TFrmSelect::BotSelectClick);
    connect(m_tree, &QTreeWidget::itemExpanded, this, &TFrmSelect::loadSubfolders);
    connect(m_tree, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem *current) { fillList(current); });

    auto *root = new QTreeWidgetItem(m_tree, {QStringLiteral("マイ コンピュータ")});
    root->setData(0, PathRole, MyComputer);
    for (const platform::Volume &v : m_volumes()) {
        QTreeWidgetItem *item = folderItem(root, volumeCaption(v), v.mountPath);
        item->setData(0, KindRole, int(v.kind));
    }
    root->setExpanded(true);
    m_tree->setCurrentItem(root);
}

void TFrmSelect::attachEditors(TJobEditor *addPage, TJobEditor *changePage)
{
    m_addPage = addPage;
    m_changePage = changePage;
    for (TJobEditor *page : {addPage, changePage})
        if (page)
            page->setSelectDialog(this);
}

void TFrmSelect::openModal()
{
    setSelection({});
    if (isVisible())
        hide();
    exec();
}

void TFrmSelect::openModeless(const QStringList &paths)
{
    setSelection(paths);
    if (!isVisible()) {
        setModal(false);
        show();
    }
    raise();
    activateWindow();
}

QStringList TFrmSelect::selection() const
{
    QStringList paths;
    for (int i = 0; i < m_selection->count(); ++i)
        paths << m_selection->item(i)->text();
    return paths;
}

void TFrmSelect::setSelection(const QStringList &paths)
{
    // Same folder as last time, with what it holds now.
    fillList(m_tree->currentItem());
    m_selection->clear();
    for (const QString &path : paths)
        addPath(path);
}

void TFrmSelect::closeEvent(QCloseEvent *event)
{
    event->ignore();
}

QString TFrmSelect::treePath() const
{
    const QTreeWidgetItem *item = m_tree->currentItem();
    return item ? item->data(0, PathRole).toString() : QString();
}

void TFrmSelect::addPath(const QString &path)
{
    // File names differ by letter case on this system, so only an exact match is a duplicate.
    for (int i = 0; i < m_selection->count(); ++i)
        if (m_selection->item(i)->text() == path)
            return;
    auto *item = new QListWidgetItem(path, m_selection);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
    item->setCheckState(Qt::Unchecked);
}

void TFrmSelect::BotSelectClick()
{
    const QString folder = treePath();
    const bool volumesShown = folder.isEmpty() || folder == MyComputer;
    QList<QTreeWidgetItem *> chosen = m_files->selectedItems();
    std::sort(chosen.begin(), chosen.end(), [this](QTreeWidgetItem *a, QTreeWidgetItem *b) {
        return m_files->indexOfTopLevelItem(a) < m_files->indexOfTopLevelItem(b);
    });
    if (chosen.isEmpty()) {
        if (m_tree->currentItem() && !volumesShown)
            addPath(folder);
        return;
    }
    for (const QTreeWidgetItem *entry : std::as_const(chosen)) {
        if (!volumesShown)
            addPath(joinPath(folder, entry->data(0, NameRole).toString()));
        else if (entry->data(0, KindRole).toInt() == int(platform::VolumeKind::HardDisk))
            addPath(entry->data(0, PathRole).toString());
    }
}

void TFrmSelect::BotDeleteClick()
{
    bool asked = false;
    for (int i = 0; i < m_selection->count();) {
        if (m_selection->item(i)->checkState() != Qt::Checked) {
            ++i;
            continue;
        }
        if (!asked) {
            if (!m_program.prompter().confirm(
                    QStringLiteral("選択した設定項目を削除します。\r\nよろしいですか？")))
                return;
            asked = true;
        }
        delete m_selection->takeItem(i);
    }
}

void TFrmSelect::BotAllDeleteClick()
{
    if (m_selection->count() == 0)
        return;
    if (m_program.prompter().confirm(
            QStringLiteral("すべての設定項目を削除します。\r\nよろしいですか？")))
        m_selection->clear();
}

void TFrmSelect::BotOkClick()
{
    // The page current now, which may differ from the one that opened a modeless dialog.
    TJobEditor *target = m_program.currentPage() == Page::AddBackUp ? m_addPage : m_changePage;
    if (target)
        target->acceptSelection(selection());
    accept();
}

QTreeWidgetItem *TFrmSelect::folderItem(QTreeWidgetItem *parent, const QString &caption,
                                        const QString &path)
{
    auto *item = new QTreeWidgetItem(parent, {caption});
    item->setData(0, PathRole, path);
    // A placeholder gives the expand arrow; the subfolders are read when it is opened.
    new QTreeWidgetItem(item);
    return item;
}

void TFrmSelect::loadSubfolders(QTreeWidgetItem *folder)
{
    if (folder->childCount() != 1 || !folder->child(0)->data(0, PathRole).isNull())
        return;
    delete folder->takeChild(0);
    const QString path = folder->data(0, PathRole).toString();
    const QFileInfoList dirs =
        QDir(path).entryInfoList(QDir::Dirs | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                 QDir::Name | QDir::IgnoreCase);
    for (const QFileInfo &dir : dirs)
        folderItem(folder, dir.fileName(), joinPath(path, dir.fileName()));
}

void TFrmSelect::fillList(QTreeWidgetItem *folder)
{
    m_files->clear();
    if (!folder)
        return;
    const QString path = folder->data(0, PathRole).toString();
    if (path == MyComputer) {
        for (const platform::Volume &v : m_volumes()) {
            const bool disk = v.kind == platform::VolumeKind::HardDisk;
            auto *item = new QTreeWidgetItem(
                m_files, {volumeCaption(v), QString(),
                          disk ? kHardDisk : QStringLiteral("CD ドライブ"), QString()});
            item->setData(0, PathRole, v.mountPath);
            item->setData(0, KindRole, int(v.kind));
        }
        return;
    }
    const QFileInfoList entries = QDir(path).entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
        QDir::DirsFirst | QDir::Name | QDir::IgnoreCase);
    for (const QFileInfo &entry : entries) {
        const bool dir = entry.isDir();
        auto *item = new QTreeWidgetItem(
            m_files, {entry.fileName(), dir ? QString() : QLocale().formattedDataSize(entry.size()),
                      dir ? QStringLiteral("フォルダー") : QStringLiteral("ファイル"),
                      entry.lastModified().toString(QStringLiteral("yyyy/MM/dd HH:mm"))});
        item->setData(0, NameRole, entry.fileName());
        item->setTextAlignment(SizeColumn, Qt::AlignRight | Qt::AlignVCenter);
    }
}

bool TFrmSelect::showFolder(const QString &path)
{
    QTreeWidgetItem *root = m_tree->topLevelItem(0);
    QTreeWidgetItem *volume = nullptr;
    qsizetype best = -1;
    for (int i = 0; i < root->childCount(); ++i) {
        const QString mount = root->child(i)->data(0, PathRole).toString();
        const bool under = path == mount || path.startsWith(joinPath(mount, QString()));
        if (under && mount.size() > best) {
            volume = root->child(i);
            best = mount.size();
        }
    }
    if (!volume)
        return false;
    QTreeWidgetItem *item = volume;
    const QString mount = volume->data(0, PathRole).toString();
    const QStringList parts = path.mid(mount.size()).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString &part : parts) {
        item->setExpanded(true);
        QTreeWidgetItem *next = nullptr;
        for (int i = 0; i < item->childCount() && !next; ++i)
            if (item->child(i)->text(0) == part)
                next = item->child(i);
        if (!next)
            return false;
        item = next;
    }
    m_tree->setCurrentItem(item);
    m_tree->scrollToItem(item);
    return true;
}

} // namespace norvex::config
