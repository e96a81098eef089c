#include "config/Application.h"
#include "config/FrmMain.h"

#include <QApplication>
#include <QTranslator>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QTranslator translator;
    norvex::config::setUpApplication(app, translator);
    norvex::config::TFrmMain window;
    window.show();
    return app.exec();
}
