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
    void write(shared::TMlb2 &job) const override;
    QString problem(QWidget **focus) const override;

private:
    void browseFolder();

    QLineEdit *m_folder;
};

} // namespace norvex::config
