#pragma once

#include "shared/Exception.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <initializer_list>
#include <memory>

namespace norvex::platform {
class ServiceManager;
}

namespace norvex::shared {

// A failure of the service control client: the service manager's error code and text
// (code 0 for the client's own messages).
class ESrvCtrlException : public Exception
{
public:
    // The text for a service-manager error code.
    explicit ESrvCtrlException(int errorCode);
    explicit ESrvCtrlException(const QString &message);
    ESrvCtrlException(int errorCode, const QString &message);

    int ErrorCode() const noexcept { return m_errorCode; }
    QString className() const override { return QStringLiteral("ESrvCtrlException"); }

private:
    int m_errorCode;
};

// The access rights asked for when a service is opened; element i adds bit 1 << i.
enum TSrvAccessType {
    satGetConfig,
    satChangeConfig,
    satGetStatus,
    satEnumDependents,
    satStart,
    satStop,
    satPauseContinue,
    satInterrogate,
    satUserDefCtrl,
};

class TSrvAccessTypes
{
public:
    TSrvAccessTypes() = default;
    TSrvAccessTypes(std::initializer_list<TSrvAccessType> elements)
    {
        for (TSrvAccessType element : elements)
            m_bits |= 1u << unsigned(element);
    }
    static TSrvAccessTypes all() { return fromMask(0x1ff); }
    static TSrvAccessTypes fromMask(unsigned mask)
    {
        TSrvAccessTypes set;
        set.m_bits = mask & 0x1ff;
        return set;
    }
    bool contains(TSrvAccessType element) const { return m_bits & (1u << unsigned(element)); }
    // The service access mask: 0x34 for query status, start and stop.
    unsigned mask() const { return m_bits; }
    bool operator==(const TSrvAccessTypes &other) const = default;

private:
    unsigned m_bits = 0;
};

// The client of the service manager: opens it (Active), opens one service by KeyName,
// reports its state and starts or stops it. Every failure raises ESrvCtrlException.
class TSrvCtrl : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool Active READ Active WRITE SetActive)
    Q_PROPERTY(QString Machine READ Machine WRITE SetMachine)
    Q_PROPERTY(QString KeyName READ KeyName WRITE SetKeyName)
    Q_PROPERTY(bool VerifyAction READ VerifyAction WRITE SetVerifyAction)
    Q_PROPERTY(int TimeOut READ TimeOut WRITE SetTimeOut)

public:
    using TNotifyEvent = std::function<void(TSrvCtrl *sender)>;
    using TProgressEvent = std::function<void(TSrvCtrl *sender, unsigned progress, bool &wait)>;

    explicit TSrvCtrl(QObject *owner = nullptr);
    ~TSrvCtrl() override;

    TSrvAccessTypes Access() const { return m_access; }
    void SetAccess(TSrvAccessTypes access) { m_access = access; }
    bool Active() const { return m_manager != nullptr; }
    // true: connect (reopening KeyName when set); false: disconnect.
    void SetActive(bool active);
    // Empty means this computer; "localhost" is stored as empty.
    QString Machine() const { return m_machine; }
    void SetMachine(const QString &machine);
    QString KeyName() const { return m_keyName; }
    // Opens the named service when connected; a failed open keeps the previous name.
    void SetKeyName(const QString &name);
    bool VerifyAction() const { return m_verifyAction; }
    void SetVerifyAction(bool on) { m_verifyAction = on; }
    int TimeOut() const { return m_timeOut; }
    void SetTimeOut(int ms) { m_timeOut = ms; }

    // True while a service is open.
    bool ServiceOpen() const { return m_serviceOpen; }

    // A registry folder of the built-in service manager to use instead of the platform's
    // choice (tests keep their services apart this way); empty: the platform's choice.
    QString Registry() const { return m_registry; }
    void SetRegistry(const QString &folder) { m_registry = folder; }

    // 0 stopped, 1 start pending, 2 stop pending, 3 running, 4 continue pending,
    // 5 pause pending, 6 paused.
    int QueryState();
    void Start(const QStringList &arguments = {});
    void Stop();

    TNotifyEvent AfterClose, AfterConnect, AfterDisconnect, AfterOpen, AfterStateChange;
    TNotifyEvent BeforeClose, BeforeConnect, BeforeDisconnect, BeforeOpen, BeforeStateChange;
    TProgressEvent OnProgress;

private:
    void connectManager();
    void disconnectManager();
    void openService(const QString &name);
    void closeService();
    void requireOpen() const;
    void requireRight(TSrvAccessType right) const;
    void waitForState(int state);
    void fire(const TNotifyEvent &event);

    TSrvAccessTypes m_access = TSrvAccessTypes::all();
    QString m_machine;
    QString m_keyName;
    QString m_registry;
    bool m_verifyAction = false;
    int m_timeOut = 60000;
    std::unique_ptr<platform::ServiceManager> m_manager;
    bool m_serviceOpen = false;
};

} // namespace norvex::shared
