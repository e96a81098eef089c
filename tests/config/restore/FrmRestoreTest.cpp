// The restore dialog, driven by objectName: generations listed newest first, the content as a
// check box tree, a restore of the ticked entries with its summary, "上書きする", and a
// cancelled restore.

#include "config/FrmRestore.h"
#include "archivers/QuellZip.h"
#include "archivers/SevenZip.h"
#include "config/support/QueuePrompter.h"
#include "restore/RestoreTree.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QtTest>

using namespace norvex;
using namespace restoretest;

namespace {

constexpr int kWaitMs = 30000;

void zipInto(const QString &source, const QString &archive)
{
    archivers::TQuellZip zip;
    QFile file(archive);
    zip.Close();
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    zip.WriteEmptyArchive(file);
    file.close();
    zip.Open(archive);
    zip.AddPaths({source}, QString(), true);
    zip.Close();
}

// The item for a name path below the tree's roots ("a/b/c").
QTreeWidgetItem *itemAt(QTreeWidget *tree, const QString &path)
{
    QTreeWidgetItem *found = nullptr;
    for (const QString &name : path.split(QLatin1Char('/'))) {
        QTreeWidgetItem *next = nullptr;
        const int count = found ? found->childCount() : tree->topLevelItemCount();
        for (int i = 0; i < count && !next; ++i) {
            QTreeWidgetItem *child = found ? found->child(i) : tree->topLevelItem(i);
            if (child->text(0) == name)
                next = child;
        }
        if (!next)
            return nullptr;
        found = next;
    }
    return found;
}

} // namespace

class FrmRestoreTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    restore::JobLocation m_job;
    QString m_source; // as stored: without the leading '/'

    template <class T>
    static T *child(QWidget *dialog, const char *name)
    {
        T *widget = dialog->findChild<T *>(QLatin1String(name));
        if (!widget)
            qFatal("no widget %s", name);
        return widget;
    }

    // A shown dialog whose newest generation's content is loaded.
    std::unique_ptr<config::TFrmRestore> openDialog(testing::QueuePrompter &prompter)
    {
        auto dialog = std::make_unique<config::TFrmRestore>(
            m_job, prompter, m_dir.filePath(QStringLiteral("tmp")), m_dir.path());
        dialog->show();
        auto *content = child<QTreeWidget>(dialog.get(), "TreContent");
        auto *restoreButton = child<QPushButton>(dialog.get(), "BotRestore");
        [&] {
            QTRY_VERIFY_WITH_TIMEOUT(content->topLevelItemCount() > 0 && restoreButton->isEnabled(),
                                     kWaitMs);
        }();
        return dialog;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        const QByteArray src = QFile::encodeName(m_dir.filePath(QStringLiteral("src")));
        m_source = m_dir.filePath(QStringLiteral("src")).mid(1);
        const QString dest = m_dir.filePath(QStringLiteral("dest"));
        QVERIFY(QDir().mkpath(dest) && QDir().mkpath(m_dir.filePath(QStringLiteral("tmp"))));
        makeTree(src, 1);
        zipInto(QString::fromUtf8(src), dest + QStringLiteral("/Norvex-docs-2-.zip"));
        put(src + "/run me.sh", "newer", 0755, 1700009000);
        zipInto(QString::fromUtf8(src), dest + QStringLiteral("/Norvex-docs-1-.zip"));
        // Generation 2 is the older one.
        QFile older(dest + QStringLiteral("/Norvex-docs-2-.zip"));
        QVERIFY(older.open(QIODevice::ReadWrite));
        QVERIFY(older.setFileTime(QDateTime::currentDateTime().addDays(-1),
                                  QFileDevice::FileModificationTime));
        m_job.name = QStringLiteral("docs");
        m_job.destination = QStringLiteral("Local");
        m_job.folder = dest;
        m_job.fileName = QStringLiteral("Norvex-docs.zip");
        m_job.generations = 2;
    }

    void cleanupTestCase()
    {
        // QTemporaryDir cannot remove a name that is not UTF-8.
        QProcess::execute(QStringLiteral("rm"), {QStringLiteral("-rf"), m_dir.path()});
    }

    void offersADefaultTargetInTheHomeFolder()
    {
        testing::QueuePrompter prompter;
        auto dialog = openDialog(prompter);
        const QString target = child<QLineEdit>(dialog.get(), "EdtTarget")->text();
        QVERIFY2(QRegularExpression(QRegularExpression::escape(m_dir.path()) +
                                    QStringLiteral("/docs-復元-\\d{8}-\\d{6}$"))
                     .match(target)
                     .hasMatch(),
                 qPrintable(target));
        auto *generations = child<QTreeWidget>(dialog.get(), "LstGenerations");
        QCOMPARE(generations->topLevelItemCount(), 2);
        QCOMPARE(generations->topLevelItem(0)->text(0), QStringLiteral("1"));
        QCOMPARE(generations->topLevelItem(1)->text(0), QStringLiteral("2"));
        QVERIFY(prompter.shown.isEmpty());
    }

    void restoresTheTickedEntriesOfAGeneration_data()
    {
        QTest::addColumn<int>("generation");
        QTest::addColumn<QByteArray>("script");
        QTest::newRow("newest") << 0 << QByteArray("newer");
        QTest::newRow("older") << 1 << QByteArray("#!/bin/sh\necho 1\n");
    }
    void restoresTheTickedEntriesOfAGeneration()
    {
        QFETCH(int, generation);
        QFETCH(QByteArray, script);
        testing::QueuePrompter prompter;
        auto dialog = openDialog(prompter);
        auto *generations = child<QTreeWidget>(dialog.get(), "LstGenerations");
        auto *content = child<QTreeWidget>(dialog.get(), "TreContent");
        if (generation > 0) {
            content->clear();
            generations->setCurrentItem(generations->topLevelItem(generation));
            QTRY_VERIFY_WITH_TIMEOUT(content->topLevelItemCount() > 0 && !dialog->busy(), kWaitMs);
        }
        QTreeWidgetItem *privateDir = itemAt(content, m_source + QStringLiteral("/private dir"));
        QVERIFY(privateDir);
        privateDir->setCheckState(0, Qt::Unchecked);
        const QString target = m_dir.filePath(QStringLiteral("target-") + QTest::currentDataTag());
        child<QLineEdit>(dialog.get(), "EdtTarget")->setText(target);
        child<QPushButton>(dialog.get(), "BotRestore")->click();
        QTRY_VERIFY_WITH_TIMEOUT(!prompter.shown.isEmpty(), kWaitMs);
        QCOMPARE(prompter.shown.first().kind, config::Prompter::Kind::Information);
        QVERIFY2(
            prompter.lastText().contains(QStringLiteral("復元 5 件、スキップ 0 件、失敗 0 件")),
            qPrintable(prompter.lastText()));
        const Snapshot got = snapshot(QFile::encodeName(target + QLatin1Char('/') + m_source));
        QCOMPARE(got.value("run me.sh").data, script);
        QVERIFY(got.contains(kLatin1Name));
        QVERIFY(!got.contains("private dir"));
        QVERIFY(child<QPushButton>(dialog.get(), "BotClose")->isEnabled());
    }

    void namesWhatItDidNotOverwrite()
    {
        testing::QueuePrompter prompter;
        auto dialog = openDialog(prompter);
        const QString target = m_dir.filePath(QStringLiteral("target-existing"));
        const QByteArray folder = QFile::encodeName(target + QLatin1Char('/') + m_source);
        QVERIFY(QDir().mkpath(QString::fromUtf8(folder)));
        put(folder + "/empty", "mine", 0600, 1);
        child<QLineEdit>(dialog.get(), "EdtTarget")->setText(target);
        child<QPushButton>(dialog.get(), "BotRestore")->click();
        QTRY_VERIFY_WITH_TIMEOUT(prompter.shown.size() == 1, kWaitMs);
        QCOMPARE(prompter.shown.first().kind, config::Prompter::Kind::Warning);
        const QString summary = child<QPlainTextEdit>(dialog.get(), "TxtSummary")->toPlainText();
        QVERIFY2(
            summary.contains(QStringLiteral("スキップ: ") + m_source + QStringLiteral("/empty")),
            qPrintable(summary));
        QCOMPARE(snapshot(folder).value("empty").data, QByteArray("mine"));

        child<QCheckBox>(dialog.get(), "ChkOverwrite")->setChecked(true);
        child<QPushButton>(dialog.get(), "BotRestore")->click();
        QTRY_VERIFY_WITH_TIMEOUT(prompter.shown.size() == 2, kWaitMs);
        QCOMPARE(prompter.shown.last().kind, config::Prompter::Kind::Information);
        QCOMPARE(snapshot(folder).value("empty").data, QByteArray());
    }

    void cancelledRestoreSaysSo()
    {
        testing::QueuePrompter prompter;
        auto dialog = openDialog(prompter);
        const QString target = m_dir.filePath(QStringLiteral("target-cancelled"));
        child<QLineEdit>(dialog.get(), "EdtTarget")->setText(target);
        // Cancelled before the worker takes its first file.
        child<QPushButton>(dialog.get(), "BotRestore")->click();
        QVERIFY(child<QPushButton>(dialog.get(), "BotCancel")->isEnabled());
        QVERIFY(!child<QPushButton>(dialog.get(), "BotClose")->isEnabled());
        child<QPushButton>(dialog.get(), "BotCancel")->click();
        QTRY_VERIFY_WITH_TIMEOUT(!prompter.shown.isEmpty(), kWaitMs);
        QVERIFY2(prompter.lastText().startsWith(QStringLiteral("復元をキャンセルしました。")),
                 qPrintable(prompter.lastText()));
        QVERIFY(dialog->lastSummary().cancelled);
    }

    // The job's password is offered; a wrong one (changed since) stops the restore with a
    // clear error, and the right one typed in restores.
    void asksAgainAfterAWrongPassword()
    {
        const QString dest = m_dir.filePath(QStringLiteral("dest7z"));
        QVERIFY(QDir().mkpath(dest));
        archivers::TSevenZip sevenZip;
        sevenZip.setAddOptions(archivers::AddOptsEnum::AddRecurseDirs);
        sevenZip.setPassword(QStringLiteral("right"));
        sevenZip.setSZFileName(dest + QStringLiteral("/Norvex-docs7-1-.7z"));
        sevenZip.FileList() << m_dir.filePath(QStringLiteral("src/日本語のフォルダ/*.*"));
        QCOMPARE(sevenZip.BuildArchive(), 0);
        restore::JobLocation job = m_job;
        job.name = QStringLiteral("docs7");
        job.folder = dest;
        job.fileName = QStringLiteral("Norvex-docs7.7z");
        job.archivePassword = QStringLiteral("old");

        testing::QueuePrompter prompter;
        config::TFrmRestore dialog(job, prompter, m_dir.path(), m_dir.path());
        dialog.show();
        auto *restoreButton = child<QPushButton>(&dialog, "BotRestore");
        QTRY_VERIFY_WITH_TIMEOUT(restoreButton->isEnabled(), kWaitMs);
        auto *password = child<QLineEdit>(&dialog, "EdtPassword");
        QVERIFY(password->isVisible());
        QCOMPARE(password->text(), QStringLiteral("old"));
        const QString target = m_dir.filePath(QStringLiteral("target-7z"));
        child<QLineEdit>(&dialog, "EdtTarget")->setText(target);
        restoreButton->click();
        QTRY_VERIFY_WITH_TIMEOUT(prompter.shown.size() == 1, kWaitMs);
        QCOMPARE(prompter.shown.last().kind, config::Prompter::Kind::Error);
        QVERIFY2(prompter.lastText().contains(restore::kWrongPasswordText),
                 qPrintable(prompter.lastText()));
        QVERIFY(!QFile::exists(target));

        password->setText(QStringLiteral("right"));
        restoreButton->click();
        QTRY_VERIFY_WITH_TIMEOUT(prompter.shown.size() == 2, kWaitMs);
        QVERIFY2(
            prompter.lastText().contains(QStringLiteral("復元 1 件、スキップ 0 件、失敗 0 件")),
            qPrintable(prompter.lastText()));
    }

    void reportsAFolderThatIsNotThere()
    {
        testing::QueuePrompter prompter;
        restore::JobLocation gone = m_job;
        gone.folder = m_dir.filePath(QStringLiteral("no such folder"));
        config::TFrmRestore dialog(gone, prompter, m_dir.path(), m_dir.path());
        dialog.show();
        QTRY_VERIFY_WITH_TIMEOUT(!prompter.shown.isEmpty(), kWaitMs);
        QCOMPARE(prompter.shown.first().kind, config::Prompter::Kind::Error);
        QVERIFY(prompter.lastText().contains(gone.folder));
        QVERIFY(!child<QPushButton>(&dialog, "BotRestore")->isEnabled());
    }
};

QTEST_MAIN(FrmRestoreTest)
#include "FrmRestoreTest.moc"
