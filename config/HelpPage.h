#pragma once

#include "config/Page.h"

namespace norvex::config {

class Program;

// The help page (TabHelp): the manual link, the PDF reader banner and two lines.
class THelpPage : public TPage
{
    Q_OBJECT

public:
    explicit THelpPage(Program &program, QWidget *parent = nullptr);

    // The manual in the installation folder.
    static QString manualPath(const QString &installFolder);
    // The page about PDF readers: the project's own page in the installation folder.
    static QString readerPage(const QString &installFolder);
};

} // namespace norvex::config
