#pragma once

#include "config/Page.h"

namespace norvex::config {

class Program;

// The opening page (TabTop): one large picture that opens the maker's page.
class TTopPage : public TPage
{
    Q_OBJECT

public:
    explicit TTopPage(Program &program, QWidget *parent = nullptr);

    // The maker's page: the project's own page in the installation folder.
    static QString makerPage(const QString &installFolder);
};

} // namespace norvex::config
