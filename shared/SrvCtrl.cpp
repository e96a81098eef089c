#include "shared/SrvCtrl.h"

#include "platform/ServiceManager.h"
#include "platform/ServiceManagerBuiltin.h"

#include <QElapsedTimer>
#include <QThread>

namespace norvex::shared {

ESrvCtrlException::ESrvCtrlException(int errorCode)
    : Exception(platform::serviceErrorText(errorCode)), m_errorCode(errorCode)
{
}

ESrvCtrlException::ESrvCtrlException(const QString &message) : Exception(message), m_errorCode(0)
{
}

ESrvCtrlException::ESrvCtrlException(int errorCode, const QString &message)
    : Exception(message), m_errorCode(errorCode)
{
}

namespace {

[[noreturn]] void raise(const platform::ServiceError &error)
{
    throw ESrvCtrlException(error.code(), error.text());
}

} // namespace

TSrvCtrl::TSrvCtrl(QObject *owner) : QObject(owner)
{
}

TSrvCtrl::~TSrvCtrl()
{
    closeService();
    m_manager.reset();
}

void TSrvCtrl::fire(const TNotifyEvent &event)
{
    if (event)
        event(this);
}

void TSrvCtrl::SetActive(bool active)
{
    if (active)
        connectManager();
    else
        disconnectManager();
}

void TSrvCtrl::SetMachine(const QString &machine)
{
    const QString trimmed = machine.trimmed();
    m_machine =
        trimmed.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0 ? QString() : trimmed;
}

void TSrvCtrl::connectManager()
{
    disconnectManager();
    fire(BeforeConnect);
    // The service managers here control this computer only.
    if (!m_machine.isEmpty())
        throw ESrvCtrlException(QStringLiteral("他のコンピューターのサービスは操作できません: ") +
                                m_machine);
    if (m_registry.isEmpty())
        m_manager = platform::ServiceManager::create();
    else
        m_manager = std::make_unique<platform::BuiltinServiceManager>(m_registry);
    m_manager->setTimeout(m_timeOut);
    fire(AfterConnect);
    if (!m_keyName.isEmpty())
        openService(m_keyName);
}

void TSrvCtrl::disconnectManager()
{
    closeService();
    if (m_manager) {
        fire(BeforeDisconnect);
        m_manager.reset();
        fire(AfterDisconnect);
    }
}

void TSrvCtrl::SetKeyName(const QString &name)
{
    openService(name);
}

void TSrvCtrl::openService(const QString &name)
{
    closeService();
    const QString previous = m_keyName;
    m_keyName = name;
    if (!m_manager)
        return;
    fire(BeforeOpen);
    try {
        m_manager->setTimeout(m_timeOut);
        m_manager->checkInstalled(name);
    } catch (const platform::ServiceError &error) {
        m_keyName = previous;
        raise(error);
    }
    m_serviceOpen = true;
    fire(AfterOpen);
}

void TSrvCtrl::closeService()
{
    if (!m_serviceOpen)
        return;
    fire(BeforeClose);
    m_serviceOpen = false;
    fire(AfterClose);
}

void TSrvCtrl::requireOpen() const
{
    if (!m_serviceOpen || !m_manager)
        throw ESrvCtrlException(QStringLiteral("No service opened!"));
}

void TSrvCtrl::requireRight(TSrvAccessType right) const
{
    // The service was opened for the rights in Access; nothing else may be done with it.
    if (!m_access.contains(right))
        throw ESrvCtrlException(platform::ServiceErrorCode::AccessDenied);
}

int TSrvCtrl::QueryState()
{
    requireOpen();
    requireRight(satGetStatus);
    try {
        m_manager->setTimeout(m_timeOut);
        return int(m_manager->queryState(m_keyName));
    } catch (const platform::ServiceError &error) {
        raise(error);
    }
}

void TSrvCtrl::Start(const QStringList &arguments)
{
    requireOpen();
    requireRight(satStart);
    fire(BeforeStateChange);
    try {
        m_manager->setTimeout(m_timeOut);
        m_manager->start(m_keyName, arguments);
    } catch (const platform::ServiceError &error) {
        raise(error);
    }
    if (m_verifyAction)
        waitForState(int(platform::ServiceState::Running));
    fire(AfterStateChange);
}

void TSrvCtrl::Stop()
{
    requireOpen();
    requireRight(satStop);
    fire(BeforeStateChange);
    try {
        m_manager->setTimeout(m_timeOut);
        m_manager->stop(m_keyName);
    } catch (const platform::ServiceError &error) {
        raise(error);
    }
    if (m_verifyAction)
        waitForState(int(platform::ServiceState::Stopped));
    fire(AfterStateChange);
}

void TSrvCtrl::waitForState(int state)
{
    QElapsedTimer clock;
    clock.start();
    for (unsigned progress = 0;; ++progress) {
        if (QueryState() == state)
            return;
        bool wait = true;
        if (OnProgress)
            OnProgress(this, progress, wait);
        if (!wait)
            return;
        if (clock.elapsed() >= m_timeOut)
            throw ESrvCtrlException(platform::ServiceErrorCode::NoResponse);
        QThread::msleep(100);
    }
}

} // namespace norvex::shared
