#pragma once

class QApplication;
class QTranslator;

namespace norvex::config {

// The program's look whatever the user's locale: Qt's standard buttons in Japanese
// (はい / キャンセル) through `translator`, which must outlive the application, the
// Japanese font and the program's icon.
void setUpApplication(QApplication &app, QTranslator &translator);

} // namespace norvex::config
