#pragma once

#include "service/ServiceFramework.h"
#include "shared/Clock.h"

#include <QString>

#include <atomic>
#include <memory>

class QTimer;

namespace norvex::shared {
class TIniFileCompo;
}

namespace norvex::service {

class Notifier;
class RunStatusStore;
class Scheduler;

// The backup service object: one instance, named "Norvex". It wires the scheduler (job
// table, run slots, job row copies) to the 10-second timer; each run brings its own thread
// and its own transfer timer (TBackUpThread).
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
    // The temporary folder, read once at start-up.
    const QString &TmpFolder() const { return m_tmpFolder; }
    // True while a run that a stop abandoned still uses the scheduler and the clock: the
    // process must then end without destroying them.
    bool RunsInProgress() const;

    shared::TIniFileCompo *IniBackUp;
    // The scheduler timer: 10000 ms, on the main thread, switched on at the end of start-up.
    QTimer *TimBackUp;

public slots:
    void TimBackUpTimer();

private:
    QObject *startRun(int jobIndex, int attempt);

    QString m_installFolder;
    QString m_tmpFolder;
    shared::SystemClock m_clock;
    std::unique_ptr<Notifier> m_notifier;
    std::unique_ptr<RunStatusStore> m_status;
    bool m_damageArchiveForTest = false;
    std::unique_ptr<Scheduler> m_scheduler;
    std::atomic<bool> m_stopped{false};
};

} // namespace norvex::service
