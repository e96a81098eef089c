#include "service/Norvex.h"

#include "platform/Limits.h"
#include "platform/Paths.h"
#include "platform/Priority.h"
#include "service/BackUpThread.h"
#include "service/FtpBackUp.h"
#include "service/LocalBackUp.h"
#include "service/RunStatusStore.h"
#include "service/Scheduler.h"
#include "service/ServiceNotifier.h"
#include "service/SftpBackUp.h"
#include "shared/EventLog.h"
#include "shared/Exception.h"
#include "shared/IniFileCompo.h"
#include "shared/JobTable.h"
#include "shared/Options.h"

#include <QCoreApplication>
#include <QFile>
#include <QTimer>

namespace norvex::service {

namespace {

// Test seam (NORVEX_TEST_DAMAGE_ARCHIVE=1, set only by the end-to-end tests): one byte a
// third into the new archive is changed between the archive step and its test, as a
// failing disk would.
void damageArchive(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite) || file.size() < 3 || !file.seek(file.size() / 3))
        return;
    char byte = 0;
    if (!file.getChar(&byte) || !file.seek(file.size() / 3))
        return;
    file.putChar(char(byte ^ 0x55));
}

} // namespace

TNorvex::TNorvex(QObject *owner)
    : TService(owner), IniBackUp(new shared::TIniFileCompo(this)), TimBackUp(new QTimer(this))
{
    setObjectName(QStringLiteral("Norvex"));
    SetName(QStringLiteral("Norvex"));
    SetDisplayName(QStringLiteral("Norvex"));
    IniBackUp->setObjectName(QStringLiteral("IniBackUp"));
    IniBackUp->SetAutoUpdate(false);
    IniBackUp->SetCaseSensitive(false);
    IniBackUp->SetDefaultFolder(shared::TIniFileCompo::dfUser);
    TimBackUp->setObjectName(QStringLiteral("TimBackUp"));
    TimBackUp->setInterval(10000);
    connect(TimBackUp, &QTimer::timeout, this, &TNorvex::TimBackUpTimer);
}

TNorvex::~TNorvex() = default;

bool TNorvex::RunsInProgress() const
{
    return m_scheduler && m_scheduler->anyRunning();
}

void TNorvex::ServiceStart(bool &started)
{
    // A sandbox may refuse the idle priority; the backups matter more than the priority.
    const int priorityError = platform::setIdlePriority();
    try {
        // Room for the 7-Zip engine and the transfers; the ZIP writer needs little.
        (void)platform::raiseOpenFileLimit();
        m_installFolder = platform::installFolder();
        IniBackUp->SetFileName(m_installFolder + QStringLiteral("Norvex.ini"));
        // A fresh installation has neither: the start entry needs the Log folder.
        shared::ensureJobTable(m_installFolder);
        shared::WriteLog(shared::LogInformation,
                         QStringLiteral("Norvexサービスを開始いたしました。"));
        if (priorityError != 0)
            shared::WriteLog(shared::LogError,
                             QStringLiteral("システムエラーが発生しました。\tServiceStart "
                                            "System Error Exception : ") +
                                 QStringLiteral("アイドル優先度を設定できませんでした。 ") +
                                 platform::systemErrorText(priorityError));

        m_tmpFolder =
            IniBackUp->ReadValue(QStringLiteral("Option"), QStringLiteral("TmpFolder"), QString());
        if (m_tmpFolder.isEmpty())
            m_tmpFolder = platform::defaultTempFolder();

        m_notifier = makeServiceNotifier(m_installFolder, *IniBackUp);
        m_damageArchiveForTest = qEnvironmentVariable("NORVEX_TEST_DAMAGE_ARCHIVE") == "1";
        m_status = std::make_unique<RunStatusStore>(m_installFolder, m_clock);
        m_status->start(QCoreApplication::applicationPid());
        m_scheduler = std::make_unique<Scheduler>(
            m_installFolder, m_clock,
            [this](int jobIndex, int attempt) { return startRun(jobIndex, attempt); },
            m_status.get(), m_notifier.get());
        m_scheduler->load();

        // The timer belongs to the main thread; start-up runs on the control thread.
        QMetaObject::invokeMethod(TimBackUp, qOverload<>(&QTimer::start), Qt::QueuedConnection);
    } catch (const shared::Exception &error) {
        shared::WriteLog(
            shared::LogError,
            QStringLiteral("システムエラーが発生しました。\tServiceStart System Error ") +
                error.className() + QStringLiteral(" : ") + error.message());
    } catch (const std::exception &error) {
        shared::WriteLog(
            shared::LogError,
            QStringLiteral("システムエラーが発生しました。\tServiceStart System Error ") +
                QStringLiteral("Exception : ") + QString::fromUtf8(error.what()));
    }
    // Reported as running even when start-up failed: the entry above says why.
    started = true;
}

void TNorvex::ServiceExecute()
{
    while (!Terminated())
        ProcessRequests(true);
}

void TNorvex::ServiceStop(bool &stopped)
{
    m_stopped = true; // a tick already queued on the main thread starts nothing
    QMetaObject::invokeMethod(TimBackUp, &QTimer::stop, Qt::QueuedConnection);
    if (m_notifier)
        m_notifier->finish(NotifyStopWaitMs);
    shared::WriteLog(shared::LogInformation, QStringLiteral("Norvexサービスを終了いたしました。"));
    stopped = true;
}

void TNorvex::TimBackUpTimer()
{
    if (m_stopped || !m_scheduler)
        return;
    m_scheduler->tick();
}

QObject *TNorvex::startRun(int jobIndex, int attempt)
{
    // Read at each run, so that the options page's changes apply without a restart.
    shared::TIniFileCompo ini;
    ini.SetAutoUpdate(false);
    ini.SetDefaultFolder(shared::TIniFileCompo::dfUser);
    ini.SetFileName(IniBackUp->Path());
    RunSettings settings;
    settings.status = m_status.get();
    settings.attempt = attempt;
    settings.retryCount = shared::readRetryCount(ini);
    settings.verifyArchive = shared::readVerifyArchive(ini);
    if (m_damageArchiveForTest)
        settings.damageArchiveForTest = &damageArchive;
    settings.scheduler = m_scheduler.get();
    settings.clock = &m_clock;
    settings.tempFolder = m_tmpFolder;
    settings.notifier = m_notifier.get();
    settings.steps.insert(QStringLiteral("SFTP"), &SftpBackUp);
    settings.steps.insert(QStringLiteral("FTP"), &FtpBackUp);
    settings.steps.insert(QStringLiteral("Local"), &LocalBackUp);
    auto *run = new TBackUpThread(std::move(settings), jobIndex);
    connect(run, &QThread::finished, run, &QObject::deleteLater);
    run->start();
    return run;
}

} // namespace norvex::service
