#include "service/ServiceFramework.h"

#include "platform/Paths.h"
#include "platform/ServiceProcess.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QThread>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace norvex::service {

namespace {

int g_signalPipe[2] = {-1, -1};

void onStopSignal(int signalNumber)
{
    const int savedErrno = errno;
    const char byte = char(signalNumber);
    (void)!::write(g_signalPipe[1], &byte, 1);
    errno = savedErrno;
}

constexpr int StopSignals[] = {SIGTERM, SIGINT, SIGHUP};

void printError(const QString &text)
{
    std::fputs((text + QLatin1Char('\n')).toLocal8Bit().constData(), stderr);
    std::fflush(stderr);
}

} // namespace

// Runs the handlers; its own event dispatcher is the service's request queue.
class ServiceControlThread : public QThread
{
public:
    explicit ServiceControlThread(TService &service) : m_service(service) {}

protected:
    void run() override
    {
        bool started = true;
        try {
            m_service.ServiceStart(started);
        } catch (const std::exception &error) {
            printError(QStringLiteral("ServiceStart: ") + QString::fromUtf8(error.what()));
            started = false;
        }
        m_service.m_started = started;
        if (!started)
            return;
        if (!m_service.m_stopping.load())
            m_service.report(platform::ServiceState::Running);
        try {
            m_service.ServiceExecute();
        } catch (const std::exception &error) {
            printError(QStringLiteral("ServiceExecute: ") + QString::fromUtf8(error.what()));
        }
    }

private:
    TService &m_service;
};

TService::TService(QObject *owner) : QObject(owner)
{
}

TService::~TService() = default;

void TService::ServiceStart(bool &started)
{
    started = true;
}

void TService::ServiceExecute()
{
    while (!Terminated())
        ProcessRequests(true);
}

void TService::ServiceStop(bool &stopped)
{
    stopped = true;
}

void TService::ProcessRequests(bool waitForMessage)
{
    static thread_local int depth = 0;
    ++depth;
    QEventLoop::ProcessEventsFlags flags = QEventLoop::AllEvents;
    if (waitForMessage && !Terminated())
        flags |= QEventLoop::WaitForMoreEvents;
    QCoreApplication::processEvents(flags);
    // No QEventLoop::exec runs on this thread, so objects released with deleteLater()
    // would otherwise never go; only the outermost loop may release them.
    if (depth == 1)
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    --depth;
}

void TService::RequestStop()
{
    if (m_controller)
        QMetaObject::invokeMethod(
            m_controller, [this] { handleStop(); }, Qt::QueuedConnection);
}

void TService::handleStop()
{
    if (m_stopping.exchange(true) || m_terminated.load())
        return;
    report(platform::ServiceState::StopPending);
    bool stopped = true;
    try {
        ServiceStop(stopped);
    } catch (const std::exception &error) {
        printError(QStringLiteral("ServiceStop: ") + QString::fromUtf8(error.what()));
    }
    if (!stopped) {
        report(platform::ServiceState::Running);
        m_stopping.store(false);
        return;
    }
    m_terminated.store(true);
    // The request loop may be about to wait again; make that wait return.
    if (QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance())
        dispatcher->wakeUp();
}

void TService::report(platform::ServiceState state)
{
    if (m_process)
        m_process->publish(state);
}

int TService::Run(platform::ServiceProcess &process)
{
    m_process = &process;
    report(platform::ServiceState::StartPending);

    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        printError(QStringLiteral("pipe: ") + platform::systemErrorText(errno));
        return 1;
    }
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signalNumber : StopSignals)
        ::sigaction(signalNumber, &action, nullptr);
    // A peer that goes away must fail a write, not end the service.
    ::signal(SIGPIPE, SIG_IGN);

    ServiceControlThread thread(*this);
    QObject controller;
    controller.moveToThread(&thread);
    m_thread = &thread;
    m_controller = &controller;

    QSocketNotifier notifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &notifier, [this] {
        char buffer[16];
        while (::read(g_signalPipe[0], buffer, sizeof buffer) > 0) {
        }
        RequestStop();
    });
    QObject::connect(&thread, &QThread::finished, QCoreApplication::instance(),
                     &QCoreApplication::quit, Qt::QueuedConnection);
    thread.start();
    QCoreApplication::exec();
    thread.wait();

    for (int signalNumber : StopSignals)
        ::signal(signalNumber, SIG_DFL);
    notifier.setEnabled(false);
    m_controller = nullptr;
    m_thread = nullptr;
    ::close(g_signalPipe[0]);
    ::close(g_signalPipe[1]);
    g_signalPipe[0] = g_signalPipe[1] = -1;
    // Nothing says "stopped" while this process lives: the state stays stop pending until
    // the process is gone and the kernel has dropped its locks.
    m_process = nullptr;
    return m_started ? 0 : 1;
}

ServiceCommandLine parseServiceCommandLine(const QStringList &arguments)
{
    ServiceCommandLine result;
    for (const QString &argument : arguments) {
        QString word = argument;
        if (word.startsWith(QLatin1String("--")))
            word.remove(0, 2);
        else if (word.startsWith(QLatin1Char('-')) || word.startsWith(QLatin1Char('/')))
            word.remove(0, 1);
        else
            word.clear();
        if (word.compare(QLatin1String("install"), Qt::CaseInsensitive) == 0)
            result.install = true;
        else if (word.compare(QLatin1String("uninstall"), Qt::CaseInsensitive) == 0)
            result.uninstall = true;
        else if (word.compare(QLatin1String("silent"), Qt::CaseInsensitive) == 0)
            result.silent = true;
        else
            result.unknown << argument;
    }
    return result;
}

int registerService(const ServiceCommandLine &commandLine, const platform::ServiceSpec &spec)
{
    if (commandLine.install == commandLine.uninstall) {
        printError(QStringLiteral("使い方: NorvexService [-install | -uninstall] [-silent]"));
        return 2;
    }
    try {
        auto manager = platform::ServiceManager::create();
        if (commandLine.install)
            manager->install(spec);
        else
            manager->uninstall(spec.name);
    } catch (const platform::ServiceError &error) {
        printError((commandLine.install
                        ? QStringLiteral("サービスをインストールできませんでした: ")
                        : QStringLiteral("サービスをアンインストールできませんでした: ")) +
                   error.text());
        return 1;
    }
    if (!commandLine.silent) {
        std::fputs((commandLine.install
                        ? QStringLiteral("サービスは正常にインストールされました。\n")
                        : QStringLiteral("サービスは正常にアンインストールされました。\n"))
                       .toLocal8Bit()
                       .constData(),
                   stdout);
        std::fflush(stdout);
    }
    return 0;
}

platform::ServiceSpec thisServiceSpec(const QString &name, const QString &displayName)
{
    platform::ServiceSpec spec;
    spec.name = name;
    spec.displayName = displayName;
    spec.executable = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
    // The folder is recorded when this shell chose it: NORVEX_HOME, or an XDG_DATA_HOME
    // that a service manager's environment may lack. Otherwise the service finds it itself.
    const bool packaged =
        !platform::systemProgramPrefix(QFileInfo(spec.executable).absolutePath()).isEmpty();
    if (!qEnvironmentVariableIsEmpty("NORVEX_HOME") ||
        (packaged && ::geteuid() != 0 && !qEnvironmentVariableIsEmpty("XDG_DATA_HOME")))
        spec.home = QDir(platform::installFolder()).absolutePath() + QLatin1Char('/');
    return spec;
}

} // namespace norvex::service
