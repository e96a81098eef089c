#pragma once

#include "service/ServiceFramework.h"

#include <QString>

namespace norvex::shared {
class TIniFileCompo;
}

namespace norvex::service {

// The backup service object: one instance, named "Norvex".
class TNorvex : public TService
{
    Q_OBJECT

public:
    explicit TNorvex(QObject *owner = nullptr);
    ~TNorvex() override;

    void ServiceStart(bool &started) override;
    void ServiceExecute() override;
    void ServiceStop(bool &stopped) override;

    // The installation folder with its trailing '/', set at start-up.
    const QString &InstallFolder() const { return m_installFolder; }

    shared::TIniFileCompo *IniBackUp;

private:
    QString m_installFolder;
};

} // namespace norvex::service
