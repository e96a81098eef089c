#pragma once

#include "SshWire.h"

#include <QByteArray>
#include <QString>
#include <QtEndian>

// SFTP version 3 packet types and limits shared by SftpChannel and SftpUpload.
namespace norvex::transfer::sftpproto {

enum : quint8 {
    FxpInit = 1,
    FxpVersion = 2,
    FxpOpen = 3,
    FxpClose = 4,
    FxpWrite = 6,
    FxpLstat = 7,
    FxpFstat = 8,
    FxpRead = 5,
    FxpOpenDir = 11,
    FxpReadDir = 12,
    FxpRemove = 13,
    FxpMkDir = 14,
    FxpRename = 18,
    FxpStatus = 101,
    FxpHandle = 102,
    FxpData = 103,
    FxpName = 104,
    FxpAttrs = 105,
    FxpExtended = 200,
    FxpExtendedReply = 201,
};

// Attribute flags (SSH_FILEXFER_ATTR_*).
constexpr quint32 AttrSize = 0x01;
constexpr quint32 AttrUidGid = 0x02;
constexpr quint32 AttrPermissions = 0x04;
constexpr quint32 AttrTimes = 0x08;
constexpr quint32 AttrExtended = 0x80000000u;

constexpr quint32 StatusOk = 0;
constexpr quint32 StatusEof = 1;
// Replies larger than this are not SFTP v3 replies to anything we send.
constexpr quint32 MaxReply = 256 * 1024;
// Replies to no request we are waiting for: a few are stale replies to requests given up
// after a failure; a stream of them is a server that would hold the run forever.
constexpr int MaxStrayReplies = 4096;

inline QString statusName(quint32 code)
{
    switch (code) {
    case 1:
        return QStringLiteral("end of file");
    case 2:
        return QStringLiteral("no such file");
    case 3:
        return QStringLiteral("permission denied");
    case 4:
        return QStringLiteral("failure");
    case 5:
        return QStringLiteral("bad message");
    case 6:
        return QStringLiteral("no connection");
    case 7:
        return QStringLiteral("connection lost");
    case 8:
        return QStringLiteral("operation unsupported");
    default:
        return QStringLiteral("error %1").arg(code);
    }
}

// "<what>: <server's message or the code's name> (SFTP status <code>)".
inline QString statusText(const QString &what, quint32 code, QString message)
{
    if (message.isEmpty())
        message = statusName(code);
    return QStringLiteral("%1: %2 (SFTP status %3)").arg(what, message).arg(code);
}

// Starts a packet in b, keeping b's allocation for the next one; patchLength() ends it.
inline void startPacket(QByteArray &b, quint8 type, quint32 id)
{
    b.resize(0);
    sshwire::putU32(b, 0);
    b.append(char(type));
    sshwire::putU32(b, id);
}

inline void patchLength(QByteArray &b)
{
    qToBigEndian(quint32(b.size() - 4), b.data());
}

} // namespace norvex::transfer::sftpproto
