// Saves a picture of every page of the main window, for the documentation:
//   norvex_screenshots <folder>
// Runs on the installation folder NORVEX_HOME (scripts/screenshots prepares a sample one).
// Messages are printed instead of shown, and questions answered with Cancel, so nothing
// waits for a click.
#include "config/Application.h"
#include "config/FrmMain.h"
#include "config/Page.h"
#include "config/Prompter.h"

#include <QApplication>
#include <QDir>
#include <QTranslator>
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
    return 0;
}
