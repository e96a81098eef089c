// Saves a picture of every page of the main window, for the documentation:
//   norvex_screenshots <folder>
// Runs on the installation folder NORVEX_HOME (scripts/screenshots prepares a sample one).
// Messages are printed instead of shown, and questions answered with Cancel, so nothing
// waits for a click.
#include "archivers/QuellZip.h"
#include "config/Application.h"
#include "config/FrmMain.h"
#include "config/FrmRestore.h"
#include "config/Page.h"
#include "config/Prompter.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QTemporaryDir>
#include <QTranslator>
#include <QTreeWidget>
#include <cstdio>

namespace {

class PrintingPrompter : public norvex::config::Prompter
{
public:
    void message(const QString &text, Kind) override
    {
        std::fprintf(stderr, "message: %s\n", qPrintable(text));
    }
    bool confirm(const QString &text) override
    {
        std::fprintf(stderr, "question (answered Cancel): %s\n", qPrintable(text));
        return false;
    }
    bool question(const QString &text, Kind) override
    {
        std::fprintf(stderr, "question (answered No): %s\n", qPrintable(text));
        return false;
    }
    QString openFileName(const QString &, const QString &) override { return {}; }
    QString folderName(const QString &) override { return {}; }
};

// The restore dialog on two generations of a small tree in a local folder, with the
// newest one's content loaded. False when it could not be drawn.
bool restoreDialogShot(norvex::config::Prompter &prompter, const QDir &out)
{
    QTemporaryDir dir;
    const QString src = dir.filePath(QStringLiteral("home/yamada/書類"));
    const QString dest = dir.filePath(QStringLiteral("backup"));
    QDir().mkpath(src + QStringLiteral("/見積書"));
    QDir().mkpath(dest);
    const std::pair<const char *, int> files[] = {{"見積書/2024-05 見積書.pdf", 48000},
                                                  {"見積書/2024-06 見積書.pdf", 52000},
                                                  {"議事録.txt", 2300},
                                                  {"住所録.csv", 11800}};
    for (const auto &[name, size] : files) {
        QFile file(src + QLatin1Char('/') + QString::fromUtf8(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(QByteArray(size, 'x')) != size)
            return false;
    }
    for (int k : {2, 1}) {
        const QString archive = dest + QStringLiteral("/Norvex-書類-%1-.zip").arg(k);
        norvex::archivers::TQuellZip zip;
        zip.Close();
        QFile file(archive);
        if (!file.open(QIODevice::WriteOnly))
            return false;
        zip.WriteEmptyArchive(file);
        file.close();
        zip.Open(archive);
        zip.AddPaths({src}, QString(), true);
        zip.Close();
        // Generation 2 is yesterday's.
        if (k == 2 && (!file.open(QIODevice::ReadWrite) ||
                       !file.setFileTime(QDateTime::currentDateTime().addDays(-1),
                                         QFileDevice::FileModificationTime)))
            return false;
        file.close();
    }
    norvex::restore::JobLocation job;
    job.name = QStringLiteral("書類");
    job.destination = QStringLiteral("Local");
    job.folder = dest;
    job.fileName = QStringLiteral("Norvex-書類.zip");
    job.generations = 7;
    norvex::config::TFrmRestore dialog(job, prompter, dir.path(), QStringLiteral("/home/yamada"));
    dialog.show();
    auto *content = dialog.findChild<QTreeWidget *>(QStringLiteral("TreContent"));
    const QDeadlineTimer deadline(30000);
    while ((content->topLevelItemCount() == 0 || dialog.busy()) && !deadline.hasExpired())
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    if (content->topLevelItemCount() == 0)
        return false;
    content->expandAll();
    QApplication::processEvents();
    const QString file = out.filePath(dialog.objectName() + QStringLiteral(".png"));
    if (!dialog.grab().save(file))
        return false;
    std::printf("%s\n", qPrintable(file));
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    using norvex::config::Page;
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fputs("usage: norvex_screenshots <folder>\n", stderr);
        return 2;
    }
    QTranslator translator;
    norvex::config::setUpApplication(app, translator);

    const QDir out(QString::fromLocal8Bit(argv[1]));
    QDir().mkpath(out.path());
    PrintingPrompter prompter;
    norvex::config::TFrmMain window(&prompter);
    window.show();
    for (Page page : {Page::Top, Page::Disp, Page::List, Page::Log, Page::BackEnv, Page::AddBackUp,
                      Page::Option, Page::Help, Page::EditBackUp}) {
        if (page == Page::EditBackUp)
            window.setEditedJobNumber(1);
        window.showPage(page);
        for (int i = 0; i < 5; ++i)
            QApplication::processEvents();
        const norvex::config::TPage *shown = nullptr;
        for (auto *candidate : window.findChildren<norvex::config::TPage *>())
            if (candidate->isVisible())
                shown = candidate;
        // A page still standing in for one built elsewhere has nothing to show.
        if (!shown || shown->metaObject() == &norvex::config::TPage::staticMetaObject)
            continue;
        const QString file = out.filePath(shown->objectName() + QStringLiteral(".png"));
        if (!window.grab().save(file)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
            return 1;
        }
        std::printf("%s\n", qPrintable(file));
    }
    if (!restoreDialogShot(prompter, out)) {
        std::fprintf(stderr, "cannot draw the restore dialog\n");
        return 1;
    }
    return 0;
}
