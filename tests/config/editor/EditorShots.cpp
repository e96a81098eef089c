// Renders the job editor's add page (one picture per destination), the change page and the
// source selection dialog to PNG files, for the documentation and for looking at them.
//
//   EditorShots --screenshot <add-sftp|add-ftp|add-local|change|change-ftp|select-volumes|select>
//               <file.png>
//   EditorShots --all <folder>
//
// Run it under Xvfb: xvfb-run -a -s "-screen 0 1280x900x24" EditorShots --all out/
#include "EditorTestSupport.h"
#include "config/FrmSelect.h"
#include "config/JobEditor.h"
#include "config/support/TestProgram.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <cstdio>

using namespace norvex;
using namespace norvex::testing;

namespace {

const QStringList kPictures = {"add-sftp",   "add-ftp",        "add-local", "change",
                               "change-ftp", "select-volumes", "select"};

bool save(QWidget &w, const QString &file)
{
    w.show();
    for (int i = 0; i < 5; ++i)
        QApplication::processEvents();
    return w.grab().save(file);
}

void fillSample(config::TJobEditor &page, int kind)
{
    const bool change = page.isChangePage();
    input<QLineEdit>(page, "EdtBackUpName", change)->setText(QStringLiteral("経理データ日次"));
    page.acceptSelection({QStringLiteral("/home/keiri/書類"), QStringLiteral("/srv/share/経理"),
                          QStringLiteral("/home/keiri/My Documents/帳簿.xlsx")});
    input<QPlainTextEdit>(page, "MemExclude", change)
        ->setPlainText(QStringLiteral("~$*\n*.tmp\n/古い資料/"));
    input<QComboBox>(page, "CmbToBackUp", change)->setCurrentIndex(kind);
    input<QLineEdit>(page, "EdtSFTPHost", change)->setText(QStringLiteral("backup.example.jp"));
    input<QLineEdit>(page, "EdtSFTPUser", change)->setText(QStringLiteral("keiri"));
    input<QLineEdit>(page, "EdtSFTPPass", change)->setText(QStringLiteral("secret"));
    input<QLineEdit>(page, "EdtSFTPKey", change)->setText(QStringLiteral("/home/keiri/id.ppk"));
    input<QLineEdit>(page, "EdtFTPHost", change)->setText(QStringLiteral("ftp.example.jp"));
    input<QLineEdit>(page, "EdtFTPUser", change)->setText(QStringLiteral("keiri"));
    input<QLineEdit>(page, "EdtFTPPass", change)->setText(QStringLiteral("secret"));
    input<QComboBox>(page, "CmbFTPSecurity", change)->setCurrentIndex(1);
    input<QLineEdit>(page, "EdtSaveFolder", change)->setText(QStringLiteral("/mnt/usb/backup"));
    input<QCheckBox>(page, "ChkCreateFolder", change)->setChecked(true);
    input<QLineEdit>(page, "EdtCreateFolder", change)->setText(QStringLiteral("経理"));
    input<QRadioButton>(page, "RdoArchive7z", change)->setChecked(true);
    input<QCheckBox>(page, "ChkArcPass", change)->setChecked(true);
    input<QLineEdit>(page, "EdtArcPass", change)->setText(QStringLiteral("zip"));
    input<QCheckBox>(page, "ChkSedai", change)->setChecked(true);
    input<QSpinBox>(page, "SpnSedaiNum", change)->setValue(3);
}

bool render(const QString &picture, const QString &file, TestProgram &program)
{
    const QSize pageSize(760, 680);
    if (picture.startsWith(QLatin1String("select"))) {
        config::TFrmSelect dialog(program);
        if (picture == QLatin1String("select"))
            dialog.showFolder(QStringLiteral("/usr/share"));
        dialog.openModeless({QStringLiteral("/home/keiri/書類"), QStringLiteral("/srv/share/経理"),
                             QStringLiteral("/etc")});
        return save(dialog, file);
    }
    if (picture.startsWith(QLatin1String("change"))) {
        // The sample job, saved through the add page, shown by the change page.
        config::TJobEditor add(program, false);
        add.showAction();
        const bool ftp = picture == QLatin1String("change-ftp");
        fillSample(add, ftp ? 1 : 0);
        // A name of its own: the add page refuses a second job with the sample's name.
        if (ftp)
            input<QLineEdit>(add, "EdtBackUpName")->setText(QStringLiteral("経理データFTP"));
        program.prompts.answers.enqueue(true);
        input<QPushButton>(add, "BotOk")->click();
        program.editedJob = program.jobs.RecordCount();
        config::TJobEditor page(program, true);
        page.setFixedSize(pageSize);
        page.showAction();
        return save(page, file);
    }
    config::TJobEditor page(program, false);
    page.setFixedSize(pageSize);
    page.showAction();
    fillSample(page, int(kPictures.indexOf(picture)));
    return save(page, file);
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    QTemporaryDir home;
    TestProgram program(home.path());
    shared::ensureJobTable(home.path());
    if (args.size() == 4 && args[1] == QLatin1String("--screenshot") && kPictures.contains(args[2]))
        return render(args[2], args[3], program) ? 0 : 1;
    if (args.size() == 3 && args[1] == QLatin1String("--all")) {
        QDir().mkpath(args[2]);
        for (const QString &picture : kPictures)
            if (!render(picture, args[2] + QLatin1Char('/') + picture + QStringLiteral(".png"),
                        program))
                return 1;
        return 0;
    }
    std::fprintf(stderr, "usage: EditorShots --screenshot <%s> <file.png> | --all <folder>\n",
                 qPrintable(kPictures.join(QLatin1Char('|'))));
    return 2;
}
