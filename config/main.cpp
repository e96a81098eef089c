#include "config/FrmMain.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // Standard buttons read はい / キャンセル whatever the user's locale.
    QTranslator translator;
    if (translator.load(QLocale(QLocale::Japanese), QStringLiteral("qtbase"), QStringLiteral("_"),
                        QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        app.installTranslator(&translator);
    QFont font(QStringLiteral("IPAexGothic"));
    font.setPointSize(10);
    app.setFont(font);

    norvex::config::TFrmMain window;
    window.show();
    return app.exec();
}
