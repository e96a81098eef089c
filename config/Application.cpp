#include "config/Application.h"
#include "config/NorvexIcon.h"

#include <QApplication>
#include <QFont>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

namespace norvex::config {

void setUpApplication(QApplication &app, QTranslator &translator)
{
    if (translator.load(QLocale(QLocale::Japanese), QStringLiteral("qtbase"), QStringLiteral("_"),
                        QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        app.installTranslator(&translator);
    QFont font(QStringLiteral("IPAexGothic"));
    font.setPointSize(10);
    app.setFont(font);
    // Also for message boxes that have no parent window.
    app.setWindowIcon(norvexIcon());
}

} // namespace norvex::config
