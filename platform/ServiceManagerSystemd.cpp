#include "platform/ServiceManagerSystemd.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <cerrno>
#include <unistd.h>

namespace norvex::platform {

namespace {

// Quotes one word of a unit file: systemd splits on spaces, reads C escapes inside
// quotes and expands %-specifiers everywhere. ($ is literal in the program path and in
// Environment= values, so it needs no escape there.)
QString unitWord(const QString &value)
{
    QString quoted = QStringLiteral("\"");
    for (const QChar c : value) {
        if (c == QLatin1Char('\\') || c == QLatin1Char('"'))
            quoted += QLatin1Char('\\');
        if (c == QLatin1Char('%'))
            quoted += QLatin1Char('%');
        quoted += c;
    }
    return quoted + QLatin1Char('"');
}

QString firstLines(const QByteArray &text)
{
    QStringList lines =
        QString::fromUtf8(text).trimmed().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    // systemctl's second line is usually the advice to read the journal.
    while (lines.size() > 1 && lines.last().startsWith(QLatin1String("See ")))
        lines.removeLast();
    return lines.join(QLatin1Char(' ')).simplified();
}

} // namespace

bool systemdCanRun(const QString &executable)
{
    for (const QChar c : executable)
        if (c.unicode() < 0x20 || c == QLatin1Char('\\') || c == QLatin1Char('"') ||
            c == QLatin1Char('\''))
            return false;
    return true;
}

QString systemdUnitName(const QString &serviceName)
{
    return serviceName.toLower() + QStringLiteral(".service");
}

QString systemdUnitText(const ServiceSpec &spec, bool userUnit)
{
    QString text;
    text += QStringLiteral("[Unit]\n");
    text += QStringLiteral("Description=") + spec.displayName + QLatin1Char('\n');
    if (!userUnit) {
        // Backups to servers want the network; a user manager has no such target.
        text += QStringLiteral("Wants=network-online.target\n");
        text += QStringLiteral("After=network-online.target\n");
    }
    text += QStringLiteral("\n[Service]\n");
    // The service reports READY=1 once its start handler has run.
    text += QStringLiteral("Type=notify\n");
    text += QStringLiteral("ExecStart=") + unitWord(spec.executable) + QLatin1Char('\n');
    if (!spec.home.isEmpty())
        text += QStringLiteral("Environment=") +
                unitWord(QStringLiteral("NORVEX_HOME=") + spec.home) + QLatin1Char('\n');
    text += QStringLiteral("Nice=19\n");
    text += QStringLiteral("IOSchedulingClass=idle\n");
    text += QStringLiteral("Restart=on-failure\n");
    text += QStringLiteral("RestartSec=10\n");
    text += QStringLiteral("\n[Install]\n");
    text += userUnit ? QStringLiteral("WantedBy=default.target\n")
                     : QStringLiteral("WantedBy=multi-user.target\n");
    return text;
}

QString systemdUnitExecutable(const QByteArray &unitText)
{
    for (const QByteArray &rawLine : unitText.split('\n')) {
        const QByteArray line = rawLine.trimmed();
        if (!line.startsWith("ExecStart="))
            continue;
        QString value = QString::fromUtf8(line.mid(int(qstrlen("ExecStart=")))).trimmed();
        // Prefixes that change how the command runs, not which program it is.
        while (!value.isEmpty() && QStringLiteral("@-:+!").contains(value.front()))
            value.remove(0, 1);
        if (value.startsWith(QLatin1Char('"'))) {
            QString word;
            for (qsizetype i = 1; i < value.size(); ++i) {
                if (value[i] == QLatin1Char('\\') && i + 1 < value.size())
                    word += value[++i];
                else if (value[i] == QLatin1Char('"'))
                    return word.replace(QStringLiteral("%%"), QStringLiteral("%"));
                else
                    word += value[i];
            }
            return QString();
        }
        return value.section(QLatin1Char(' '), 0, 0)
            .replace(QStringLiteral("%%"), QStringLiteral("%"));
    }
    return QString();
}

SystemdUnitStatus parseSystemctlShow(const QByteArray &output)
{
    SystemdUnitStatus status;
    const QList<QByteArray> lines = output.split('\n');
    for (const QByteArray &line : lines) {
        const qsizetype eq = line.indexOf('=');
        if (eq < 0)
            continue;
        const QByteArray key = line.left(eq).trimmed();
        const QString value = QString::fromUtf8(line.mid(eq + 1)).trimmed();
        if (key == "LoadState")
            status.loadState = value;
        else if (key == "ActiveState")
            status.activeState = value;
        else if (key == "UnitFileState")
            status.unitFileState = value;
    }
    return status;
}

ServiceState systemdState(const SystemdUnitStatus &status)
{
    const QString &s = status.activeState;
    if (s == QLatin1String("active") || s == QLatin1String("reloading"))
        return ServiceState::Running;
    if (s == QLatin1String("activating"))
        return ServiceState::StartPending;
    if (s == QLatin1String("deactivating"))
        return ServiceState::StopPending;
    return ServiceState::Stopped;
}

ServiceError systemctlFailure(const SystemctlResult &result)
{
    if (!result.ran) {
        if (result.error == ETIMEDOUT)
            return ServiceError(ServiceErrorCode::NoResponse, QStringLiteral("systemctl"));
        return ServiceError(result.error != 0 ? result.error : ENOENT, QStringLiteral("systemctl"));
    }
    const QString message = firstLines(result.err.isEmpty() ? result.out : result.err);
    const QString lower = message.toLower();
    if (lower.contains(QLatin1String("access denied")) ||
        lower.contains(QLatin1String("permission denied")) ||
        lower.contains(QLatin1String("interactive authentication required")) ||
        lower.contains(QLatin1String("not authorized")))
        return ServiceError(ServiceErrorCode::AccessDenied, message);
    if (lower.contains(QLatin1String("masked")))
        return ServiceError(ServiceErrorCode::Disabled, message);
    if (lower.contains(QLatin1String("not found")) ||
        lower.contains(QLatin1String("does not exist")) ||
        lower.contains(QLatin1String("not loaded")))
        return ServiceError(ServiceErrorCode::NotInstalled, message);
    if (message.isEmpty())
        return ServiceError(ServiceErrorCode::ManagerFailed,
                            QStringLiteral("systemctl exit status %1").arg(result.exitCode));
    return ServiceError(ServiceErrorCode::ManagerFailed, message);
}

SystemdUnitStatus unitStatusFromShow(const SystemctlResult &result)
{
    if (!result.ran || result.exitCode != 0)
        throw systemctlFailure(result);
    const SystemdUnitStatus unit = parseSystemctlShow(result.out);
    if (unit.loadState.isEmpty())
        throw ServiceError(ServiceErrorCode::ManagerFailed, firstLines(result.out + result.err));
    if (unit.loadState == QLatin1String("not-found"))
        throw ServiceError(ServiceErrorCode::NotInstalled);
    return unit;
}

SystemdServiceManager::SystemdServiceManager() : m_root(::geteuid() == 0)
{
}

QString SystemdServiceManager::unitFolder(bool userUnit) const
{
    const QByteArray forced = qgetenv("NORVEX_SYSTEMD_UNIT_DIR");
    if (!forced.isEmpty())
        return QString::fromLocal8Bit(forced);
    if (!userUnit)
        return QStringLiteral("/etc/systemd/system");
    QString config = QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME"));
    if (config.isEmpty())
        config = QDir::homePath() + QStringLiteral("/.config");
    return config + QStringLiteral("/systemd/user");
}

QString SystemdServiceManager::packagedUnitFolder(bool userUnit) const
{
    // A test that moves the unit folder sees no packaged units.
    if (!qEnvironmentVariableIsEmpty("NORVEX_SYSTEMD_UNIT_DIR"))
        return QString();
    return userUnit ? QStringLiteral("/usr/lib/systemd/user")
                    : QStringLiteral("/usr/lib/systemd/system");
}

QString SystemdServiceManager::packagedUnitFor(bool userUnit, const QString &name) const
{
    const QString folder = packagedUnitFolder(userUnit);
    if (folder.isEmpty())
        return QString();
    const QString path = folder + QLatin1Char('/') + systemdUnitName(name);
    return QFileInfo::exists(path) ? path : QString();
}

bool SystemdServiceManager::useUserScope(const QString &name) const
{
    // Root controls the system unit. Another user controls a system unit registered for
    // the whole machine, else their own user unit or the packaged one. The packaged system
    // unit is root's: it works on /var/lib/norvex/, never on this user's files.
    if (m_root)
        return false;
    const QString unit = systemdUnitName(name);
    if (QFileInfo::exists(unitFolder(false) + QLatin1Char('/') + unit))
        return false;
    return QFileInfo::exists(unitFolder(true) + QLatin1Char('/') + unit) ||
           !packagedUnitFor(true, name).isEmpty();
}

SystemctlResult SystemdServiceManager::systemctl(bool userScope, const QStringList &arguments) const
{
    SystemctlResult result;
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("SYSTEMD_COLORS"), QStringLiteral("0"));
    environment.insert(QStringLiteral("SYSTEMD_PAGER"), QString());
    process.setProcessEnvironment(environment);
    QStringList all{QStringLiteral("--no-ask-password")};
    if (userScope)
        all << QStringLiteral("--user");
    all << arguments;
    process.start(QStringLiteral("systemctl"), all);
    if (!process.waitForStarted(timeout())) {
        result.error = ENOENT;
        return result;
    }
    process.closeWriteChannel();
    if (!process.waitForFinished(timeout())) {
        process.kill();
        process.waitForFinished(1000);
        result.error = ETIMEDOUT;
        return result;
    }
    result.ran = process.exitStatus() == QProcess::NormalExit;
    result.error = result.ran ? 0 : EINTR;
    result.exitCode = process.exitCode();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

SystemdUnitStatus SystemdServiceManager::status(bool userScope, const QString &name) const
{
    return unitStatusFromShow(
        systemctl(userScope, {QStringLiteral("show"),
                              QStringLiteral("--property=LoadState,ActiveState,UnitFileState"),
                              QStringLiteral("--"), systemdUnitName(name)}));
}

void SystemdServiceManager::install(const ServiceSpec &spec)
{
    const bool user = !m_root;
    const QString folder = unitFolder(user);
    const QString path = folder + QLatin1Char('/') + systemdUnitName(spec.name);
    if (!QFileInfo(spec.executable).isAbsolute() || !systemdCanRun(spec.executable))
        throw ServiceError(EINVAL, spec.executable);
    for (const QChar c : spec.home)
        if (c.unicode() < 0x20)
            throw ServiceError(EINVAL, spec.home);
    if (QFileInfo::exists(path))
        throw ServiceError(ServiceErrorCode::AlreadyInstalled, path);
    if (spec.home.isEmpty() && packagedUnitRuns(user, spec)) {
        // The packaged unit already runs this program for this user's folder: a copy of
        // it would only hide a later package update, so it is enabled instead.
        enablePackagedUnit(user, spec.name);
        return;
    }
    if (!QDir().mkpath(folder))
        throw ServiceError(
            ::access(QFileInfo(folder).absolutePath().toLocal8Bit().constData(), W_OK) != 0
                ? ServiceErrorCode::AccessDenied
                : EIO,
            folder);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        throw ServiceError(::access(folder.toLocal8Bit().constData(), W_OK) != 0
                               ? ServiceErrorCode::AccessDenied
                               : EIO,
                           path);
    file.write(systemdUnitText(spec, user).toUtf8());
    if (!file.commit())
        throw ServiceError(EIO, path);
    // A unit that systemd could not take up is removed again: install either completes or
    // leaves nothing behind.
    for (const QStringList &arguments : {QStringList{QStringLiteral("daemon-reload")},
                                         QStringList{QStringLiteral("enable"), QStringLiteral("--"),
                                                     systemdUnitName(spec.name)}}) {
        const SystemctlResult result = systemctl(user, arguments);
        if (!result.ran || result.exitCode != 0) {
            QFile::remove(path);
            systemctl(user, {QStringLiteral("daemon-reload")});
            const ServiceError error = systemctlFailure(result);
            // "not found" here is systemd not seeing the unit, not a missing registration.
            if (error.code() == ServiceErrorCode::NotInstalled)
                throw ServiceError(ServiceErrorCode::ManagerFailed, firstLines(result.err));
            throw error;
        }
    }
}

bool SystemdServiceManager::packagedUnitRuns(bool userUnit, const ServiceSpec &spec) const
{
    const QString path = packagedUnitFor(userUnit, spec.name);
    if (path.isEmpty())
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    return systemdUnitExecutable(file.readAll()) == spec.executable;
}

void SystemdServiceManager::enablePackagedUnit(bool userUnit, const QString &name)
{
    const SystemdUnitStatus unit = status(userUnit, name);
    if (unit.unitFileState == QLatin1String("enabled"))
        throw ServiceError(ServiceErrorCode::AlreadyInstalled, packagedUnitFor(userUnit, name));
    const SystemctlResult result = systemctl(
        userUnit, {QStringLiteral("enable"), QStringLiteral("--"), systemdUnitName(name)});
    if (!result.ran || result.exitCode != 0)
        throw systemctlFailure(result);
}

void SystemdServiceManager::uninstall(const QString &name)
{
    const bool user = !m_root;
    const QString path = unitFolder(user) + QLatin1Char('/') + systemdUnitName(name);
    if (!QFileInfo::exists(path) && !packagedUnitFor(user, name).isEmpty()) {
        // The packaged unit stays; removing its registration is disabling it.
        if (status(user, name).unitFileState != QLatin1String("enabled"))
            throw ServiceError(ServiceErrorCode::NotInstalled);
        for (const QString &verb : {QStringLiteral("stop"), QStringLiteral("disable")}) {
            const SystemctlResult result =
                systemctl(user, {verb, QStringLiteral("--"), systemdUnitName(name)});
            if (!result.ran || result.exitCode != 0)
                throw systemctlFailure(result);
        }
        return;
    }
    if (!QFileInfo::exists(path))
        throw ServiceError(ServiceErrorCode::NotInstalled);
    if (::access(unitFolder(user).toLocal8Bit().constData(), W_OK) != 0)
        throw ServiceError(ServiceErrorCode::AccessDenied, path);
    const QString unit = systemdUnitName(name);
    for (const QStringList &arguments :
         {QStringList{QStringLiteral("stop"), QStringLiteral("--"), unit},
          QStringList{QStringLiteral("disable"), QStringLiteral("--"), unit}}) {
        const SystemctlResult result = systemctl(user, arguments);
        if (!result.ran || result.exitCode != 0)
            throw systemctlFailure(result);
    }
    if (!QFile::remove(path))
        throw ServiceError(EIO, path);
    systemctl(user, {QStringLiteral("daemon-reload")});
}

void SystemdServiceManager::checkInstalled(const QString &name)
{
    status(useUserScope(name), name);
}

ServiceState SystemdServiceManager::queryState(const QString &name)
{
    return systemdState(status(useUserScope(name), name));
}

void SystemdServiceManager::start(const QString &name, const QStringList &arguments)
{
    Q_UNUSED(arguments); // the service takes no start arguments
    const bool user = useUserScope(name);
    const SystemdUnitStatus unit = status(user, name);
    if (unit.loadState == QLatin1String("masked"))
        throw ServiceError(ServiceErrorCode::Disabled);
    // systemctl start on a running unit succeeds silently; the client reports it.
    const ServiceState state = systemdState(unit);
    if (state == ServiceState::Running || state == ServiceState::StartPending)
        throw ServiceError(ServiceErrorCode::AlreadyRunning);
    const SystemctlResult result =
        systemctl(user, {QStringLiteral("start"), QStringLiteral("--no-block"),
                         QStringLiteral("--"), systemdUnitName(name)});
    if (!result.ran || result.exitCode != 0)
        throw systemctlFailure(result);
}

void SystemdServiceManager::stop(const QString &name)
{
    const bool user = useUserScope(name);
    const SystemdUnitStatus unit = status(user, name);
    if (systemdState(unit) == ServiceState::Stopped)
        throw ServiceError(ServiceErrorCode::NotRunning);
    const SystemctlResult result =
        systemctl(user, {QStringLiteral("stop"), QStringLiteral("--no-block"), QStringLiteral("--"),
                         systemdUnitName(name)});
    if (!result.ran || result.exitCode != 0)
        throw systemctlFailure(result);
}

} // namespace norvex::platform
