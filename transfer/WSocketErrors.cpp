// Winsock-style error codes and texts, and the synchronous resolution helpers.
#include "transfer/WSocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace norvex::transfer {

int errnoToWinsock(int err)
{
    switch (err) {
    case 0:
        return 0;
    case EINTR:
        return 10004;
    case EBADF:
        return 10009;
    case EACCES:
    case EPERM:
        return 10013;
    case EFAULT:
        return 10014;
    case EINVAL:
        return 10022;
    case EMFILE:
    case ENFILE:
        return 10024;
    case EAGAIN:
        return 10035;
    case EINPROGRESS:
        return 10036;
    case EALREADY:
        return 10037;
    case ENOTSOCK:
        return 10038;
    case EDESTADDRREQ:
        return 10039;
    case EMSGSIZE:
        return 10040;
    case EPROTOTYPE:
        return 10041;
    case ENOPROTOOPT:
        return 10042;
    case EPROTONOSUPPORT:
        return 10043;
    case ESOCKTNOSUPPORT:
        return 10044;
    case EOPNOTSUPP:
        return 10045;
    case EPFNOSUPPORT:
        return 10046;
    case EAFNOSUPPORT:
        return 10047;
    case EADDRINUSE:
        return 10048;
    case EADDRNOTAVAIL:
        return 10049;
    case ENETDOWN:
        return 10050;
    case ENETUNREACH:
        return 10051;
    case ENETRESET:
        return 10052;
    case ECONNABORTED:
        return 10053;
    // A send to a connection the peer has reset fails with EPIPE on Linux.
    case EPIPE:
    case ECONNRESET:
        return 10054;
    case ENOBUFS:
    case ENOMEM:
        return 10055;
    case EISCONN:
        return 10056;
    case ENOTCONN:
        return 10057;
    case ESHUTDOWN:
        return 10058;
    case ETOOMANYREFS:
        return 10059;
    case ETIMEDOUT:
        return 10060;
    case ECONNREFUSED:
        return 10061;
    case ELOOP:
        return 10062;
    case ENAMETOOLONG:
        return 10063;
    case EHOSTDOWN:
        return 10064;
    case EHOSTUNREACH:
        return 10065;
    case ENOTEMPTY:
        return 10066;
    case EUSERS:
        return 10068;
    case EDQUOT:
        return 10069;
    case ESTALE:
        return 10070;
    case EREMOTE:
        return 10071;
    default:
        return err;
    }
}

QString WSocketErrorText(int code)
{
    const char *text = nullptr;
    switch (code) {
    case 0:
        text = "No Error";
        break;
    case 10004:
        text = "Interrupted system call";
        break;
    case 10009:
        text = "Bad file number";
        break;
    case 10013:
        text = "Permission denied";
        break;
    case 10014:
        text = "Bad address";
        break;
    case 10022:
        text = "Invalid argument";
        break;
    case 10024:
        text = "Too many open files";
        break;
    case 10035:
        text = "Operation would block";
        break;
    case 10036:
        text = "Operation now in progress";
        break;
    case 10037:
        text = "Operation already in progress";
        break;
    case 10038:
        text = "Socket operation on non-socket";
        break;
    case 10039:
        text = "Destination address required";
        break;
    case 10040:
        text = "Message too long";
        break;
    case 10041:
        text = "Protocol wrong type for socket";
        break;
    case 10042:
        text = "Protocol not available";
        break;
    case 10043:
        text = "Protocol not supported";
        break;
    case 10044:
        text = "Socket type not supported";
        break;
    case 10045:
        text = "Operation not supported on socket";
        break;
    case 10046:
        text = "Protocol family not supported";
        break;
    case 10047:
        text = "Address family not supported by protocol family";
        break;
    case 10048:
        text = "Address already in use";
        break;
    case 10049:
        text = "Address not available";
        break;
    case 10050:
        text = "Network is down";
        break;
    case 10051:
        text = "Network is unreachable";
        break;
    case 10052:
        text = "Network dropped connection on reset";
        break;
    case 10053:
        text = "Connection aborted";
        break;
    case 10054:
        text = "Connection reset by peer";
        break;
    case 10055:
        text = "No buffer space available";
        break;
    case 10056:
        text = "Socket is already connected";
        break;
    case 10057:
        text = "Socket is not connected";
        break;
    case 10058:
        text = "Can't send after socket shutdown";
        break;
    case 10059:
        text = "Too many references: can't splice";
        break;
    case 10060:
        text = "Connection timed out";
        break;
    case 10061:
        text = "Connection refused";
        break;
    case 10062:
        text = "Too many levels of symbolic links";
        break;
    case 10063:
        text = "File name too long";
        break;
    case 10064:
        text = "Host is down";
        break;
    case 10065:
        text = "No route to host";
        break;
    case 10066:
        text = "Directory not empty";
        break;
    case 10067:
        text = "Too many processes";
        break;
    case 10068:
        text = "Too many users";
        break;
    case 10069:
        text = "Disc quota exceeded";
        break;
    case 10070:
        text = "Stale NFS file handle";
        break;
    case 10071:
        text = "Too many levels of remote in path";
        break;
    case 10091:
        text = "Network sub-system is unusable";
        break;
    case 10092:
        text = "WinSock DLL cannot support this application";
        break;
    case 10093:
        text = "WinSock not initialized";
        break;
    case 11001:
        text = "Host not found";
        break;
    case 11002:
        text = "Non-authoritative host not found";
        break;
    case 11003:
        text = "Non-recoverable error";
        break;
    case 11004:
        text = "No Data";
        break;
    default:
        text = "Not a WinSock error";
        break;
    }
    return QString::fromLatin1(text);
}

QString WSocketErrorDesc(int code)
{
    return WSocketErrorText(code) + QStringLiteral(" (#") + QString::number(code) +
           QLatin1Char(')');
}

bool WSocketIsDottedIP(const QString &name)
{
    if (name.isEmpty() || !name.at(0).isDigit())
        return false;
    for (const QChar c : name) {
        if (!(c.isDigit() || c == QLatin1Char('.')))
            return false;
    }
    return true;
}

static int resolverErrorToWinsock(int gaiError)
{
    switch (gaiError) {
    case EAI_NONAME:
        return 11001;
    case EAI_AGAIN:
        return 11002;
    case EAI_NODATA:
    case EAI_ADDRFAMILY:
        return 11004;
    case EAI_SYSTEM:
        return errnoToWinsock(errno);
    default:
        return 11003;
    }
}

static ESocketException lookUpFailed(const QString &name, int code)
{
    return ESocketException(QStringLiteral("Winsock Resolve Host: Cannot convert host address '") +
                                name + QStringLiteral("' - ") + WSocketErrorDesc(code),
                            code);
}

// The first address of a host name in the resolver's order, of either family.
static QString firstAddressOf(const QString &name)
{
    QStringList addresses;
    const int code = WSocketLookUp(name.toUtf8(), &addresses);
    if (code != 0)
        throw lookUpFailed(name, code);
    return addresses.first();
}

bool WSocketIsIPv6(const QString &name)
{
    return name.contains(QLatin1Char(':'));
}

QString WSocketUnbracketed(const QString &name)
{
    if (name.size() >= 2 && name.startsWith(QLatin1Char('[')) && name.endsWith(QLatin1Char(']')))
        return name.mid(1, name.size() - 2);
    return name;
}

QString WSocketHostPort(const QString &host, int port)
{
    const QString bare = WSocketUnbracketed(host);
    return (bare.contains(QLatin1Char(':')) ? QStringLiteral("[%1]:%2") : QStringLiteral("%1:%2"))
        .arg(bare)
        .arg(port);
}

QString WSocketAddressText(const sockaddr *address)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (address->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(address)->sin_addr, text,
                  sizeof text);
    } else if (address->sa_family == AF_INET6) {
        const auto *sin6 = reinterpret_cast<const sockaddr_in6 *>(address);
        inet_ntop(AF_INET6, &sin6->sin6_addr, text, sizeof text);
        // A link-local address means nothing without its interface: "fe80::1%2".
        if (sin6->sin6_scope_id != 0)
            return QString::fromLatin1(text) + QLatin1Char('%') +
                   QString::number(sin6->sin6_scope_id);
    }
    return QString::fromLatin1(text);
}

// Every address of name in the resolver's order (which ranks the families as the system is
// configured to), each once.
int WSocketLookUp(const QByteArray &name, QStringList *addresses)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const int rc = getaddrinfo(name.constData(), nullptr, &hints, &found);
    if (rc != 0)
        return resolverErrorToWinsock(rc);
    for (addrinfo *a = found; a; a = a->ai_next) {
        if (a->ai_family != AF_INET && a->ai_family != AF_INET6)
            continue;
        const QString address = WSocketAddressText(a->ai_addr);
        if (!addresses->contains(address))
            addresses->append(address);
    }
    freeaddrinfo(found);
    return addresses->isEmpty() ? 11004 : 0;
}

socklen_t WSocketResolveAddress(const QString &name, quint16 port, sockaddr_storage *out)
{
    *out = sockaddr_storage{};
    const QString bare = WSocketUnbracketed(name);
    if (!bare.isEmpty() && bare.size() <= 256 && WSocketIsIPv6(bare)) {
        // getaddrinfo, not inet_pton: it also reads a zone ("fe80::1%eth0", "fe80::1%2").
        addrinfo hints{};
        hints.ai_family = AF_INET6;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICHOST;
        addrinfo *found = nullptr;
        if (getaddrinfo(bare.toLatin1().constData(), nullptr, &hints, &found) != 0 || !found)
            throw ESocketException(QStringLiteral("Winsock Resolve Host: '") + name +
                                   QStringLiteral("' Invalid IP address."));
        auto *sin6 = reinterpret_cast<sockaddr_in6 *>(out);
        memcpy(sin6, found->ai_addr, sizeof(sockaddr_in6));
        freeaddrinfo(found);
        sin6->sin6_port = htons(port);
        return sizeof(sockaddr_in6);
    }
    if (!WSocketIsDottedIP(name) && !name.isEmpty() && name.size() <= 256)
        return WSocketResolveAddress(firstAddressOf(name), port, out);
    auto *sin = reinterpret_cast<sockaddr_in *>(out);
    sin->sin_family = AF_INET;
    sin->sin_port = htons(port);
    sin->sin_addr.s_addr = WSocketResolveHost(name);
    return sizeof(sockaddr_in);
}

quint32 WSocketResolveHost(const QString &name)
{
    if (name.isEmpty() || name.size() > 256)
        throw ESocketException(QStringLiteral("Winsock Resolve Host: '") + name +
                               QStringLiteral("' Invalid Hostname."));
    if (WSocketIsDottedIP(name)) {
        in_addr address{};
        if (inet_pton(AF_INET, name.toLatin1().constData(), &address) == 1)
            return address.s_addr;
        if (name == QLatin1String("255.255.255.255"))
            return INADDR_BROADCAST;
        throw ESocketException(QStringLiteral("Winsock Resolve Host: '") + name +
                               QStringLiteral("' Invalid IP address."));
    }
    QStringList addresses;
    const int code = WSocketLookUp(name.toUtf8(), &addresses);
    if (code != 0)
        throw lookUpFailed(name, code);
    // The first IPv4 address: this form has no room for another family.
    for (const QString &text : std::as_const(addresses)) {
        in_addr address{};
        if (inet_pton(AF_INET, text.toLatin1().constData(), &address) == 1)
            return address.s_addr;
    }
    throw lookUpFailed(name, 11004);
}

quint16 WSocketResolvePort(const QString &port, const QString &proto)
{
    if (port.isEmpty() || port.size() >= 32)
        throw ESocketException(QStringLiteral("Winsock Resolve Port: Invalid Port."));
    if (proto.isEmpty() || proto.size() >= 32)
        throw ESocketException(QStringLiteral("Winsock Resolve Port: Invalid Proto."));
    if (port.at(0).isDigit()) {
        // Leading digits count, as the stored port text has always been read.
        qsizetype n = 0;
        while (n < port.size() && port.at(n).isDigit())
            ++n;
        bool ok = false;
        const uint value = port.left(n).toUInt(&ok);
        if (!ok || value > 65535)
            throw ESocketException(QStringLiteral("Winsock Resolve Port: Invalid Port."));
        return quint16(value);
    }
    servent entry{};
    servent *found = nullptr;
    char buffer[1024];
    getservbyname_r(port.toUtf8().constData(), proto.toUtf8().constData(), &entry, buffer,
                    sizeof buffer, &found);
    if (!found)
        throw ESocketException(QStringLiteral("Winsock Resolve Port: Cannot convert port '") +
                                   port + QStringLiteral("' - ") + WSocketErrorDesc(11004),
                               11004);
    return ntohs(quint16(found->s_port));
}

int WSocketResolveProto(const QString &proto)
{
    if (proto.isEmpty() || proto.size() >= 32)
        throw ESocketException(QStringLiteral("Winsock Resolve Proto: Invalid Protocol."));
    if (proto.at(0).isDigit())
        return proto.toInt();
    if (proto == QLatin1String("tcp"))
        return 6;
    if (proto == QLatin1String("udp"))
        return 17;
    if (proto == QLatin1String("raw"))
        return 255;
    protoent entry{};
    protoent *found = nullptr;
    char buffer[1024];
    getprotobyname_r(proto.toUtf8().constData(), &entry, buffer, sizeof buffer, &found);
    if (!found)
        throw ESocketException(QStringLiteral("Winsock Resolve Proto: Cannot convert protocol '") +
                                   proto + QStringLiteral("' - ") + WSocketErrorDesc(11004),
                               11004);
    return found->p_proto;
}

} // namespace norvex::transfer
