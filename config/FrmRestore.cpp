#include "config/FrmRestore.h"

#include "config/Prompter.h"

#include <QCheckBox>
#include <QDateTime>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace norvex::config {

using restore::ArchiveItem;
using restore::Generation;
using restore::RestoreProgress;
using restore::RestoreSummary;

namespace {

constexpr int PathRole = Qt::UserRole;

QString durationText(qint64 seconds)
{
    return QStringLiteral("%1:%2")
        .arg(seconds / 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

QLabel *caption(const QString &text, QWidget *buddy, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setBuddy(buddy);
    buddy->setAccessibleName(QString(text).remove(QLatin1Char('&')));
    return label;
}

} // namespace

TFrmRestore::TFrmRestore(const restore::JobLocation &job, Prompter &prompter,
                         const QString &temporaryFolder, const QString &home, QWidget *parent)
    : QDialog(parent), m_job(job), m_prompter(prompter), m_temporaryFolder(temporaryFolder),
      m_home(home), m_generations(new QTreeWidget(this)), m_content(new QTreeWidget(this)),
      m_target(new QLineEdit(this)), m_browse(new QPushButton(QStringLiteral("参照..."), this)),
      m_overwrite(new QCheckBox(QStringLiteral("上書きする"), this)),
      m_password(new QLineEdit(this)), m_progress(new QProgressBar(this)),
      m_current(new QLabel(this)), m_bytes(new QLabel(this)),
      m_summaryText(new QPlainTextEdit(this)),
      m_restore(new QPushButton(QStringLiteral("復元"), this)),
      m_cancel(new QPushButton(QStringLiteral("キャンセル"), this)),
      m_close(new QPushButton(QStringLiteral("閉じる"), this)), m_thread(new QThread(this)),
      m_worker(new QObject)
{
    setObjectName(QStringLiteral("FrmRestore"));
    setWindowTitle(QStringLiteral("復元 - ") + job.name);
    m_generations->setObjectName(QStringLiteral("LstGenerations"));
    m_content->setObjectName(QStringLiteral("TreContent"));
    m_target->setObjectName(QStringLiteral("EdtTarget"));
    m_browse->setObjectName(QStringLiteral("BotBrowse"));
    m_overwrite->setObjectName(QStringLiteral("ChkOverwrite"));
    m_password->setObjectName(QStringLiteral("EdtPassword"));
    m_password->setEchoMode(QLineEdit::Password);
    m_password->setText(job.archivePassword);
    m_progress->setObjectName(QStringLiteral("PrgRestore"));
    m_current->setObjectName(QStringLiteral("LblCurrentFile"));
    m_bytes->setObjectName(QStringLiteral("LblBytes"));
    m_summaryText->setObjectName(QStringLiteral("TxtSummary"));
    m_restore->setObjectName(QStringLiteral("BotRestore"));
    m_cancel->setObjectName(QStringLiteral("BotCancel"));
    m_close->setObjectName(QStringLiteral("BotClose"));

    m_generations->setColumnCount(3);
    m_generations->setHeaderLabels(
        {QStringLiteral("世代"), QStringLiteral("日時"), QStringLiteral("サイズ")});
    m_generations->setRootIsDecorated(false);
    m_generations->setMaximumHeight(150);
    m_content->setColumnCount(3);
    m_content->setHeaderLabels(
        {QStringLiteral("名前"), QStringLiteral("サイズ"), QStringLiteral("更新日時")});
    m_content->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    m_content->header()->setStretchLastSection(false);
    m_progress->setRange(0, 1000);
    m_progress->setValue(0);
    m_progress->setAccessibleName(QStringLiteral("進行状況"));
    m_current->setAccessibleName(QStringLiteral("復元中のファイル"));
    m_bytes->setAccessibleName(QStringLiteral("復元したバイト数と残り時間"));
    m_summaryText->setReadOnly(true);
    m_summaryText->setAccessibleName(QStringLiteral("結果"));
    m_summaryText->setMaximumHeight(110);
    m_target->setText(restore::defaultTarget(home, job.name, QDateTime::currentDateTime()));

    auto *grid = new QGridLayout;
    grid->addWidget(caption(QStringLiteral("世代(&G)"), m_generations, this), 0, 0, Qt::AlignTop);
    grid->addWidget(m_generations, 0, 1, 1, 2);
    grid->addWidget(caption(QStringLiteral("内容(&C)"), m_content, this), 1, 0, Qt::AlignTop);
    grid->addWidget(m_content, 1, 1, 1, 2);
    grid->addWidget(caption(QStringLiteral("復元先(&T)"), m_target, this), 2, 0);
    grid->addWidget(m_target, 2, 1);
    grid->addWidget(m_browse, 2, 2);
    grid->addWidget(m_overwrite, 3, 1, 1, 2);
    auto *passwordCaption = caption(QStringLiteral("パスワード(&P)"), m_password, this);
    grid->addWidget(passwordCaption, 8, 0);
    grid->addWidget(m_password, 8, 1, 1, 2);
    // Only a 7z archive has a password.
    const bool sevenZ = restore::kindOf(job.fileName) == restore::ArchiveKind::SevenZip;
    passwordCaption->setVisible(sevenZ);
    m_password->setVisible(sevenZ);
    grid->addWidget(m_progress, 4, 1, 1, 2);
    grid->addWidget(m_current, 5, 1, 1, 2);
    grid->addWidget(m_bytes, 6, 1, 1, 2);
    grid->addWidget(m_summaryText, 7, 1, 1, 2);
    grid->setRowStretch(1, 1);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    for (QPushButton *button : {m_restore, m_cancel, m_close})
        buttons->addWidget(button);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(grid, 1);
    layout->addLayout(buttons);
    resize(720, 600);

    connect(m_generations, &QTreeWidget::currentItemChanged, this, [this] { generationChosen(); });
    connect(m_browse, &QPushButton::clicked, this, &TFrmRestore::BotBrowseClick);
    connect(m_restore, &QPushButton::clicked, this, &TFrmRestore::BotRestoreClick);
    connect(m_cancel, &QPushButton::clicked, this, &TFrmRestore::BotCancelClick);
    connect(m_close, &QPushButton::clicked, this, &QDialog::reject);

    m_worker->moveToThread(m_thread);
    connect(m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    m_thread->start();
    setBusy(false);
}

TFrmRestore::~TFrmRestore()
{
    m_cancelRequested = true;
    m_thread->quit();
    m_thread->wait();
    // The worker's objects go on this thread now that the worker is done.
    m_archive.reset();
    m_fetched.reset();
}

void TFrmRestore::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (!m_listed) {
        m_listed = true;
        refresh();
    }
}

void TFrmRestore::reject()
{
    // Closing waits for a cancelled step to stop rather than leave it running unseen.
    if (m_busy) {
        BotCancelClick();
        return;
    }
    QDialog::reject();
}

void TFrmRestore::runInWorker(std::function<void()> work)
{
    m_cancelRequested = false;
    setBusy(true);
    QMetaObject::invokeMethod(m_worker, std::move(work), Qt::QueuedConnection);
}

void TFrmRestore::setBusy(bool busy)
{
    m_busy = busy;
    m_generations->setEnabled(!busy);
    m_content->setEnabled(!busy);
    m_target->setEnabled(!busy);
    m_browse->setEnabled(!busy);
    m_overwrite->setEnabled(!busy);
    m_password->setEnabled(!busy);
    m_restore->setEnabled(!busy && m_archive && !m_archive->items().isEmpty());
    m_cancel->setEnabled(busy);
    m_close->setEnabled(!busy);
}

void TFrmRestore::refresh()
{
    m_current->setText(QStringLiteral("世代を一覧しています..."));
    runInWorker([this, job = m_job] {
        QList<Generation> list;
        QString error;
        restore::listGenerations(job, list, error);
        QMetaObject::invokeMethod(this, [this, list, error] { showGenerations(list, error); });
    });
}

void TFrmRestore::showGenerations(const QList<Generation> &list, const QString &error)
{
    m_current->clear();
    m_generations->clear();
    for (const Generation &g : list) {
        auto *item = new QTreeWidgetItem(m_generations);
        item->setText(0, g.number > 0 ? QString::number(g.number) : QStringLiteral("-"));
        item->setText(1, g.modified.toString(QStringLiteral("yyyy/MM/dd HH:mm:ss")));
        item->setText(2, restore::sizeText(quint64(g.size)));
        item->setToolTip(0, g.fileName);
        item->setData(0, PathRole, QVariant::fromValue(g.number));
        item->setData(1, PathRole, g.fileName);
        item->setData(2, PathRole, g.size);
    }
    for (int column = 0; column < 3; ++column)
        m_generations->resizeColumnToContents(column);
    setBusy(false);
    if (!error.isEmpty())
        m_prompter.message(error, Prompter::Kind::Error);
    else if (list.isEmpty())
        m_prompter.message(QStringLiteral("バックアップ先に復元できるアーカイブがありません。"),
                           Prompter::Kind::Warning);
    else
        m_generations->setCurrentItem(m_generations->topLevelItem(0));
}

void TFrmRestore::generationChosen()
{
    QTreeWidgetItem *item = m_generations->currentItem();
    if (!item || m_busy)
        return;
    const Generation g{item->data(0, PathRole).toInt(),
                       item->data(1, PathRole).toString(),
                       item->data(2, PathRole).toLongLong(),
                       {}};
    m_content->clear();
    m_current->setText(m_job.destination == QLatin1String("Local")
                           ? QStringLiteral("アーカイブを読んでいます...")
                           : QStringLiteral("アーカイブをダウンロードしています..."));
    m_elapsed.start();
    const QString password = m_password->text();
    runInWorker([this, g, password] {
        m_archive.reset();
        m_fetched.reset();
        QString error;
        m_fetched = restore::fetchGeneration(
            m_job, g, m_temporaryFolder, error, [this](qint64 done, qint64 total) {
                QMetaObject::invokeMethod(this, [this, done, total] {
                    showProgress({QByteArray(), quint64(done), quint64(total)});
                });
                return !m_cancelRequested;
            });
        if (m_fetched) {
            auto archive = std::make_unique<restore::RestoreArchive>();
            if (archive->open(m_fetched->path(), restore::kindOf(g.fileName), password)) {
                m_archive = std::move(archive);
                m_openedWith = password;
                m_openedKind = g.fileName;
            } else {
                error = archive->errorText();
            }
        }
        QMetaObject::invokeMethod(this, [this, error] { showContent(error); });
    });
}

void TFrmRestore::showContent(const QString &error)
{
    m_current->clear();
    m_bytes->clear();
    m_progress->setValue(0);
    m_content->clear();
    if (m_archive) {
        // One tree item per name on the way; archive folders and files alike.
        QHash<QByteArray, QTreeWidgetItem *> items;
        for (const ArchiveItem &entry : m_archive->items()) {
            QTreeWidgetItem *parent = nullptr;
            QByteArray path;
            const QList<QByteArray> names = entry.path.split('/');
            for (const QByteArray &name : names) {
                path += (path.isEmpty() ? "" : "/") + name;
                QTreeWidgetItem *&item = items[path];
                if (!item) {
                    item = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(m_content);
                    item->setText(0, restore::displayPath(name));
                    item->setData(0, PathRole, path);
                    item->setFlags(item->flags() | Qt::ItemIsUserCheckable |
                                   Qt::ItemIsAutoTristate);
                    item->setCheckState(0, Qt::Checked);
                }
                parent = item;
            }
            if (entry.type != ArchiveItem::Type::Folder)
                parent->setText(1, restore::sizeText(entry.size));
            if (entry.hasTime)
                parent->setText(2, QDateTime::fromMSecsSinceEpoch(entry.mtimeNs / 1000000)
                                       .toString(QStringLiteral("yyyy/MM/dd HH:mm:ss")));
        }
        m_content->expandToDepth(2);
        m_content->resizeColumnToContents(2);
    }
    setBusy(false);
    if (!error.isEmpty())
        m_prompter.message(error, Prompter::Kind::Error);
}

QList<QByteArray> TFrmRestore::chosenPaths() const
{
    // A fully checked item stands for everything below it.
    QList<QByteArray> paths;
    std::function<void(QTreeWidgetItem *)> collect = [&](QTreeWidgetItem *item) {
        if (item->checkState(0) == Qt::Checked)
            paths << item->data(0, PathRole).toByteArray();
        else if (item->checkState(0) == Qt::PartiallyChecked)
            for (int i = 0; i < item->childCount(); ++i)
                collect(item->child(i));
    };
    for (int i = 0; i < m_content->topLevelItemCount(); ++i)
        collect(m_content->topLevelItem(i));
    return paths;
}

void TFrmRestore::BotBrowseClick()
{
    const QString folder = m_prompter.folderName(QStringLiteral("復元先フォルダの選択"));
    if (!folder.isEmpty())
        m_target->setText(folder);
}

void TFrmRestore::BotRestoreClick()
{
    if (!m_archive || m_busy)
        return;
    restore::RestoreOptions options;
    options.target = m_target->text().trimmed();
    options.overwrite = m_overwrite->isChecked();
    options.paths = chosenPaths();
    if (options.target.isEmpty()) {
        m_prompter.message(QStringLiteral("復元先フォルダを指定してください。"),
                           Prompter::Kind::Warning);
        return;
    }
    if (options.paths.isEmpty()) {
        m_prompter.message(QStringLiteral("復元するファイルまたはフォルダを選択してください。"),
                           Prompter::Kind::Warning);
        return;
    }
    // Everything chosen: no list, so entries the tree does not show are restored too.
    const bool all = m_content->topLevelItemCount() > 0 &&
                     std::all_of(options.paths.begin(), options.paths.end(),
                                 [this](auto &p) { return !p.contains('/'); }) &&
                     options.paths.size() == m_content->topLevelItemCount();
    if (all)
        options.paths.clear();
    m_summaryText->clear();
    m_elapsed.start();
    const QString password = m_password->text();
    runInWorker([this, options, password] {
        // A password changed after a wrong one: the archive is read again with it.
        if (password != m_openedWith) {
            auto archive = std::make_unique<restore::RestoreArchive>();
            if (archive->open(m_fetched->path(), restore::kindOf(m_openedKind), password)) {
                m_archive = std::move(archive);
                m_openedWith = password;
            }
        }
        std::atomic<qint64> lastShown{-1000};
        const RestoreSummary summary = m_archive->restore(
            options,
            [this, &lastShown](const RestoreProgress &p) {
                // A few updates a second are enough for the eye and cheap for the restore.
                const qint64 now = m_elapsed.elapsed();
                if (now - lastShown >= 100 || p.bytesDone == p.bytesTotal) {
                    lastShown = now;
                    QMetaObject::invokeMethod(this, [this, p] { showProgress(p); });
                }
                return true;
            },
            &m_cancelRequested);
        QMetaObject::invokeMethod(this, [this, summary] { showSummary(summary); });
    });
}

void TFrmRestore::BotCancelClick()
{
    m_cancelRequested = true;
    m_cancel->setEnabled(false);
    m_current->setText(QStringLiteral("キャンセルしています..."));
}

void TFrmRestore::showProgress(const RestoreProgress &progress)
{
    if (!m_busy)
        return;
    if (!progress.currentFile.isEmpty())
        m_current->setText(restore::displayPath(progress.currentFile));
    const quint64 total = progress.bytesTotal;
    m_progress->setValue(total > 0 ? int(progress.bytesDone * 1000 / total) : 0);
    QString text =
        restore::sizeText(progress.bytesDone) + QStringLiteral(" / ") + restore::sizeText(total);
    const qint64 ms = m_elapsed.elapsed();
    if (progress.bytesDone > 0 && total > progress.bytesDone && ms > 1000) {
        const double left =
            double(ms) * double(total - progress.bytesDone) / double(progress.bytesDone) / 1000.0;
        text += QStringLiteral("　残り約 ") + durationText(qint64(left) + 1);
    }
    m_bytes->setText(text);
}

void TFrmRestore::showSummary(const RestoreSummary &summary)
{
    m_summary = summary;
    setBusy(false);
    m_current->clear();
    const QStringList lines = restore::summaryLines(summary);
    m_summaryText->setPlainText(lines.join(QLatin1Char('\n')));
    if (summary.succeeded())
        m_progress->setValue(1000);
    const Prompter::Kind kind =
        summary.succeeded() && summary.skipped.isEmpty()      ? Prompter::Kind::Information
        : summary.failed.isEmpty() && summary.error.isEmpty() ? Prompter::Kind::Warning
                                                              : Prompter::Kind::Error;
    m_prompter.message(lines.mid(0, 12).join(QStringLiteral("\r\n")), kind);
}

} // namespace norvex::config
