#pragma once

#include "config/DestinationSubPage.h"

namespace norvex::config {

// The local destination folder.
class TLocalSubPage : public TDestinationSubPage
{
    Q_OBJECT

public:
    TLocalSubPage(Program &program, bool change, QWidget *parent = nullptr);

    void reset() override;
    void load(const shared::TMlb2 &job) override;
    void read(shared::JobInput &input) const override;
    QWidget *inputFor(shared::JobInputField field) const override;

private:
    void browseFolder();

    QLineEdit *m_folder;
};

} // namespace norvex::config
