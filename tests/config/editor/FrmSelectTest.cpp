// The source selection dialog on a folder tree of the test's own, and its delivery to the
// editor pages.
#include "config/FrmSelect.h"
#include "EditorTestSupport.h"
#include "config/JobEditor.h"
#include "config/support/TestProgram.h"

#include <QAction>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>

using namespace norvex;
using namespace norvex::testing;
using config::TFrmSelect;
using config::TJobEditor;
using platform::MountRow;
using platform::Volume;
using platform::VolumeKind;

namespace {

QString makeTree()
{
    const QString root = QDir::cleanPath(qEnvironmentVariable("NORVEX_HOME") + "/tree");
    QDir(root).removeRecursively();
    for (const char *dir : {"Work/Sub", "Work/.hidden", "work"})
        QDir().mkpath(root + QLatin1Char('/') + QLatin1String(dir));
    for (const char *file : {"Work/a.txt", "Work/b.txt", "Work/c d.txt"}) {
        QFile f(root + QLatin1Char('/') + QLatin1String(file));
        f.open(QIODevice::WriteOnly);
    }
    return root;
}

// Selects the file list's entries with these captions, nothing else.
void selectEntries(TFrmSelect &dialog, const QStringList &captions)
{
    auto *files = dialog.findChild<QTreeWidget *>(QStringLiteral("LstFile"));
    files->clearSelection();
    for (const QString &caption : captions) {
        const QList<QTreeWidgetItem *> found = files->findItems(caption, Qt::MatchExactly);
        QCOMPARE(found.size(), 1);
        found.first()->setSelected(true);
    }
}

void click(TFrmSelect &dialog, const char *button)
{
    QPushButton *b = dialog.findChild<QPushButton *>(QString::fromLatin1(button));
    QVERIFY(b);
    b->click();
}

QListWidget *selectionList(TFrmSelect &dialog)
{
    return dialog.findChild<QListWidget *>(QStringLiteral("LstSelect"));
}

} // namespace

class FrmSelectTest : public QObject
{
    Q_OBJECT

private slots:
    void localVolumeFilter_data();
    void localVolumeFilter();
    void addsFoldersAndFilesOnce();
    void addsOnlyHardDiskVolumes();
    void deleteAsksOnceForAllTickedLines_data();
    void deleteAsksOnceForAllTickedLines();
    void okDeliversToTheCurrentPage();
    void opensModalFirstThenModeless();
};

void FrmSelectTest::localVolumeFilter_data()
{
    QTest::addColumn<QList<MountRow>>("rows");
    QTest::addColumn<QStringList>("expected"); // mount path and kind letter
    const MountRow root{"/", "/dev/vda", "ext4", "", true, true, 1000};
    QTest::newRow("root only") << QList<MountRow>{root} << QStringList{"/ H"};
    QTest::newRow("bind mount of the same device, memory and layered file systems")
        << QList<MountRow>{{"/run/netns", "/dev/vda", "ext4", "", true, true, 1000},
                           root,
                           {"/dev/shm", "tmpfs", "tmpfs", "", true, true, 64},
                           {"/snap/x", "/dev/loop0", "squashfs", "", true, true, 10},
                           {"/ro", "tmpfs", "tmpfs", "", true, true, 0}}
        << QStringList{"/ H"};
    QTest::newRow("usb disk, cd, not ready, empty, network")
        << QList<MountRow>{root,
                           {"/media/usb", "/dev/sdb1", "vfat", "USB", true, true, 8000},
                           {"/media/cd", "/dev/sr0", "iso9660", "CD", true, true, 700},
                           {"/media/gone", "/dev/sdc1", "ext4", "", true, false, 100},
                           {"/media/zero", "/dev/sdd1", "ext4", "", true, true, 0},
                           {"/net", "server:/share", "nfs", "", true, true, 100}}
        << QStringList{"/ H", "/media/cd O", "/media/usb H"};
    QTest::newRow("root on an overlay: / still offered")
        << QList<MountRow>{{"/", "overlay", "overlay", "", true, true, 1000}} << QStringList{"/ H"};
}

void FrmSelectTest::localVolumeFilter()
{
    QFETCH(QList<MountRow>, rows);
    QFETCH(QStringList, expected);
    QStringList got;
    for (const Volume &v : platform::localVolumes(rows))
        got << v.mountPath +
                   (v.kind == VolumeKind::HardDisk ? QStringLiteral(" H") : QStringLiteral(" O"));
    QCOMPARE(got, expected);
}

void FrmSelectTest::addsFoldersAndFilesOnce()
{
    const QString root = makeTree();
    TestProgram program(freshInstallFolder(QStringLiteral("select")));
    TFrmSelect dialog(program);
    QVERIFY(dialog.showFolder(root + QStringLiteral("/Work")));
    // Hidden folders are in the tree and the list; folders and files both listed.
    auto *tree = dialog.findChild<QTreeWidget *>(QStringLiteral("TreDir"));
    tree->currentItem()->setExpanded(true);
    QCOMPARE(tree->currentItem()->childCount(), 2);
    auto *files = dialog.findChild<QTreeWidget *>(QStringLiteral("LstFile"));
    QStringList listed;
    for (int i = 0; i < files->topLevelItemCount(); ++i)
        listed << files->topLevelItem(i)->text(0);
    QCOMPARE(listed, (QStringList{".hidden", "Sub", "a.txt", "b.txt", "c d.txt"}));

    click(dialog, "BotSelect"); // nothing selected in the list: the tree's folder
    selectEntries(dialog, {"b.txt", "Sub", "a.txt"});
    click(dialog, "BotSelect");
    click(dialog, "BotSelect"); // again: nothing new
    selectEntries(dialog, {"c d.txt"});
    dialog.findChild<QAction *>(QStringLiteral("MnuAdd"))->trigger();
    QVERIFY(dialog.showFolder(root + QStringLiteral("/work")));
    click(dialog, "BotSelect"); // differs only in letter case: another folder
    QCOMPARE(dialog.selection(),
             (QStringList{root + "/Work", root + "/Work/Sub", root + "/Work/a.txt",
                          root + "/Work/b.txt", root + "/Work/c d.txt", root + "/work"}));
    QVERIFY(program.prompts.shown.isEmpty());
}

void FrmSelectTest::addsOnlyHardDiskVolumes()
{
    TestProgram program(freshInstallFolder(QStringLiteral("volumes")));
    const QList<Volume> volumes = {{"/", "", VolumeKind::HardDisk},
                                   {"/media/cd", "CD", VolumeKind::Optical},
                                   {"/media/usb", "USB", VolumeKind::HardDisk}};
    TFrmSelect dialog(program, nullptr, [volumes] { return volumes; });
    auto *files = dialog.findChild<QTreeWidget *>(QStringLiteral("LstFile"));
    QCOMPARE(files->topLevelItemCount(), 3);
    QCOMPARE(files->topLevelItem(0)->text(2), QStringLiteral("ハードディスク"));
    click(dialog, "BotSelect"); // "My Computer" itself adds nothing
    selectEntries(dialog, {"USB (/media/usb)", "CD (/media/cd)", "/"});
    click(dialog, "BotSelect");
    // A volume chosen in the tree adds its mount path.
    auto *tree = dialog.findChild<QTreeWidget *>(QStringLiteral("TreDir"));
    tree->setCurrentItem(tree->topLevelItem(0)->child(2));
    click(dialog, "BotSelect");
    QCOMPARE(dialog.selection(), (QStringList{"/", "/media/usb"}));
    // Double-click on an entry adds it too; the root joins without a second '/'.
    tree->setCurrentItem(tree->topLevelItem(0)->child(0));
    QTreeWidgetItem *first = files->topLevelItem(0);
    files->clearSelection();
    first->setSelected(true);
    emit files->itemDoubleClicked(first, 0);
    QCOMPARE(dialog.selection().size(), 3);
    QCOMPARE(dialog.selection().last(), QStringLiteral("/") + first->text(0));
}

void FrmSelectTest::deleteAsksOnceForAllTickedLines_data()
{
    QTest::addColumn<QList<int>>("ticked");
    QTest::addColumn<bool>("yes");
    QTest::addColumn<QStringList>("left");
    QTest::newRow("three ticked") << QList<int>{0, 2, 4} << true << QStringList{"/b", "/d"};
    QTest::newRow("none ticked: no question")
        << QList<int>{} << true << QStringList{"/a", "/b", "/c", "/d", "/e"};
    QTest::newRow("answered Cancel")
        << QList<int>{1, 3} << false << QStringList{"/a", "/b", "/c", "/d", "/e"};
}

void FrmSelectTest::deleteAsksOnceForAllTickedLines()
{
    QFETCH(QList<int>, ticked);
    QFETCH(bool, yes);
    QFETCH(QStringList, left);
    TestProgram program(freshInstallFolder(QStringLiteral("delete")));
    TFrmSelect dialog(program);
    dialog.openModeless({"/a", "/b", "/c", "/d", "/e"});
    for (int row : ticked)
        selectionList(dialog)->item(row)->setCheckState(Qt::Checked);
    if (!ticked.isEmpty())
        program.prompts.answers.enqueue(yes);
    click(dialog, "BotDelete");
    QCOMPARE(dialog.selection(), left);
    QCOMPARE(program.prompts.texts(),
             ticked.isEmpty() ? QStringList()
                              : QStringList{QStringLiteral(
                                    "選択した設定項目を削除します。\r\nよろしいですか？")});

    program.prompts.answers.enqueue(false);
    click(dialog, "BotAllDelete");
    QCOMPARE(dialog.selection(), left);
    program.prompts.answers.enqueue(true);
    click(dialog, "BotAllDelete");
    QVERIFY(dialog.selection().isEmpty());
    QCOMPARE(program.prompts.lastText(),
             QStringLiteral("すべての設定項目を削除します。\r\nよろしいですか？"));
    click(dialog, "BotAllDelete"); // empty: nothing asked
    QVERIFY(program.prompts.unexpected.isEmpty());
}

void FrmSelectTest::okDeliversToTheCurrentPage()
{
    TestProgram program(freshInstallFolder(QStringLiteral("deliver")));
    TJobEditor add(program, false);
    TJobEditor change(program, true);
    TFrmSelect dialog(program);
    dialog.attachEditors(&add, &change);
    change.acceptSelection({"/old"});

    // Opened from the change page; the user then switches to the add page.
    input<QPushButton>(change, "BotSelect2", true)->click();
    QVERIFY(dialog.isVisible() && !dialog.isModal());
    QCOMPARE(dialog.selection(), QStringList{"/old"});
    dialog.openModeless({"/new"}); // as if edited in the dialog
    program.current = config::Page::AddBackUp;
    click(dialog, "BotOk");
    QVERIFY(!dialog.isVisible());
    QCOMPARE(add.sourceList(), QStringList{"/new"});
    QCOMPARE(change.sourceList(), QStringList{"/old"});

    // Cancel changes nothing.
    program.current = config::Page::EditBackUp;
    dialog.openModeless({"/other"});
    click(dialog, "BotCancel");
    QVERIFY(!dialog.isVisible());
    QCOMPARE(change.sourceList(), QStringList{"/old"});
    dialog.openModeless({"/other"});
    click(dialog, "BotOk");
    QCOMPARE(change.sourceList(), QStringList{"/other"});
    // No close box, and closing the window some other way is refused.
    QVERIFY(!(dialog.windowFlags() & Qt::WindowCloseButtonHint));
    dialog.show();
    QVERIFY(!dialog.close());
    dialog.hide();
}

void FrmSelectTest::opensModalFirstThenModeless()
{
    TestProgram program(freshInstallFolder(QStringLiteral("modal")));
    program.current = config::Page::AddBackUp;
    TJobEditor add(program, false);
    TFrmSelect dialog(program);
    dialog.attachEditors(&add, nullptr);
    add.show();
    add.showAction();
    dialog.openModeless({"/left over"});
    dialog.hide();

    bool sawModal = false;
    QStringList atOpening;
    QTimer::singleShot(0, &dialog, [&] {
        sawModal = dialog.isVisible() && dialog.isModal();
        atOpening = dialog.selection();
        dialog.openModeless({"/picked"}); // stands for the user's additions
        click(dialog, "BotOk");
    });
    input<QPushButton>(add, "BotSelect1")->click(); // returns when the dialog has closed
    QVERIFY(sawModal);
    QCOMPARE(atOpening, QStringList());
    QCOMPARE(add.sourceList(), QStringList{"/picked"});
    QVERIFY(!input<QPushButton>(add, "BotSelect1")->isVisible());
    QPushButton *again = input<QPushButton>(add, "BotSelect2");
    QVERIFY(again->isVisible());
    again->click();
    QVERIFY(dialog.isVisible() && !dialog.isModal());
    QCOMPARE(dialog.selection(), QStringList{"/picked"});
    click(dialog, "BotCancel");
}

QTEST_MAIN(FrmSelectTest)
#include "FrmSelectTest.moc"
