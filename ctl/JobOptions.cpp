#include "ctl/JobOptions.h"

#include "shared/Clock.h"
#include "shared/Exception.h"
#include "shared/JobTable.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

namespace norvex::ctl {

namespace {

// Relative to the working folder; an empty path stays empty, for the checks to name it.
QString absolute(const QString &path)
{
    return path.isEmpty() ? path : QDir::cleanPath(QDir::current().absoluteFilePath(path));
}

struct Server
{
    QString user;
    QString host;
    int port = 0; // 0: the kind's default
};

// USER@HOST[:PORT]; an IPv6 address takes its port only in brackets ("[::1]:2222").
Server parseServer(const QString &option, const QString &text)
{
    const qsizetype at = text.lastIndexOf(QLatin1Char('@'));
    if (at < 0)
        throw UsageError(
            QStringLiteral("--%1 は USER@HOST[:PORT] の形で指定してください。").arg(option));
    Server server{text.left(at), text.mid(at + 1), 0};
    const QString &rest = server.host;
    qsizetype colon = -1;
    if (rest.startsWith(QLatin1Char('['))) {
        const qsizetype close = rest.indexOf(QLatin1Char(']'));
        if (close > 0 && close + 1 < rest.size() && rest[close + 1] == QLatin1Char(':'))
            colon = close + 1;
    } else if (rest.count(QLatin1Char(':')) == 1) {
        colon = rest.indexOf(QLatin1Char(':'));
    }
    if (colon >= 0) {
        bool ok = false;
        server.port = rest.mid(colon + 1).toInt(&ok);
        if (!ok || server.port < 1 || server.port > 65535)
            throw UsageError(QStringLiteral("--%1: ポート番号が正しくありません: %2")
                                 .arg(option, rest.mid(colon + 1)));
        server.host = rest.left(colon);
    }
    return server;
}

void resetDestination(shared::JobInput &input, const QString &kind)
{
    const shared::JobInput fresh;
    input.kind = kind;
    input.host = fresh.host;
    input.user = fresh.user;
    input.password = fresh.password;
    input.keyFile = fresh.keyFile;
    input.localFolder = fresh.localFolder;
    input.port = kind == QLatin1String("FTP") ? 21 : 22;
    input.ftpMode = fresh.ftpMode;
    input.ftpSecurity = fresh.ftpSecurity;
}

void requireKind(const Arguments &args, const shared::JobInput &input, const QStringList &options,
                 const QStringList &kinds)
{
    for (const QString &option : options)
        if (args.has(option) && !kinds.contains(input.kind))
            throw UsageError(QStringLiteral("--%1 はバックアップ先が %2 のときだけ指定できます。")
                                 .arg(option, kinds.join(QLatin1Char('/'))));
}

} // namespace

// A password file's content without its closing line break. "-" reads standard input.
QString readSecret(const QString &option, const QString &file)
{
    QFile f;
    const bool opened = file == QLatin1String("-")
                            ? f.open(stdin, QIODevice::ReadOnly)
                            : (f.setFileName(file), f.open(QIODevice::ReadOnly));
    if (!opened)
        throw UsageError(
            QStringLiteral("--%1: %2 を読めません: %3").arg(option, file, f.errorString()));
    QByteArray data = f.readAll();
    if (data.endsWith('\n'))
        data.chop(1);
    if (data.endsWith('\r'))
        data.chop(1);
    return QString::fromUtf8(data);
}

int integerOption(const Arguments &args, const QString &option, int min, int max)
{
    bool ok = false;
    const int n = args.value(option).toInt(&ok);
    if (!ok || n < min || n > max)
        throw UsageError(QStringLiteral("--%1 は %2 から %3 の整数で指定してください。")
                             .arg(option)
                             .arg(min)
                             .arg(max));
    return n;
}

QStringList jobFlags()
{
    return {
        QStringLiteral("passive"),   QStringLiteral("active"),    QStringLiteral("tls"),
        QStringLiteral("no-tls"),    QStringLiteral("no-folder"), QStringLiteral("no-generations"),
        QStringLiteral("zip"),       QStringLiteral("7z"),        QStringLiteral("no-zip-password"),
        QStringLiteral("no-exclude")};
}

QStringList jobValuedOptions()
{
    return {QStringLiteral("local"),
            QStringLiteral("sftp"),
            QStringLiteral("ftp"),
            QStringLiteral("remote-dir"),
            QStringLiteral("key"),
            QStringLiteral("password-file"),
            QStringLiteral("every"),
            QStringLiteral("start"),
            QStringLiteral("folder"),
            QStringLiteral("generations"),
            QStringLiteral("zip-password-file"),
            QStringLiteral("exclude")};
}

void applyJobOptions(const Arguments &args, shared::JobInput &input, bool change)
{
    args.exclusive({QStringLiteral("local"), QStringLiteral("sftp"), QStringLiteral("ftp")});
    args.exclusive({QStringLiteral("passive"), QStringLiteral("active")});
    args.exclusive({QStringLiteral("tls"), QStringLiteral("no-tls")});
    args.exclusive(
        {QStringLiteral("folder"), QStringLiteral("remote-dir"), QStringLiteral("no-folder")});
    args.exclusive({QStringLiteral("generations"), QStringLiteral("no-generations")});
    args.exclusive({QStringLiteral("zip"), QStringLiteral("7z")});
    args.exclusive({QStringLiteral("zip-password-file"), QStringLiteral("no-zip-password")});
    args.exclusive({QStringLiteral("exclude"), QStringLiteral("no-exclude")});
    if (args.value(QStringLiteral("password-file")) == QLatin1String("-") &&
        args.value(QStringLiteral("zip-password-file")) == QLatin1String("-"))
        throw UsageError(QStringLiteral("標準入力から読めるパスワードは一つだけです。"));

    if (args.has(QStringLiteral("local"))) {
        resetDestination(input, QStringLiteral("Local"));
        input.localFolder = absolute(args.value(QStringLiteral("local")));
    }
    for (const QString &kind : {QStringLiteral("SFTP"), QStringLiteral("FTP")}) {
        const QString option = kind.toLower();
        if (!args.has(option))
            continue;
        const Server server = parseServer(option, args.value(option));
        if (input.kind != kind)
            resetDestination(input, kind);
        input.user = server.user;
        input.host = server.host;
        if (server.port)
            input.port = server.port;
    }
    const QStringList servers = {QStringLiteral("SFTP"), QStringLiteral("FTP")};
    requireKind(args, input, {QStringLiteral("remote-dir"), QStringLiteral("password-file")},
                servers);
    requireKind(args, input, {QStringLiteral("key")}, {QStringLiteral("SFTP")});
    requireKind(args, input,
                {QStringLiteral("passive"), QStringLiteral("active"), QStringLiteral("tls"),
                 QStringLiteral("no-tls")},
                {QStringLiteral("FTP")});
    if (args.has(QStringLiteral("key")))
        input.keyFile = absolute(args.value(QStringLiteral("key")));
    if (args.has(QStringLiteral("password-file")))
        input.password = readSecret(QStringLiteral("password-file"),
                                    args.value(QStringLiteral("password-file")));
    if (args.has(QStringLiteral("passive")) || args.has(QStringLiteral("active")))
        input.ftpMode = args.has(QStringLiteral("passive")) ? shared::FtpDataMode::Passive
                                                            : shared::FtpDataMode::Active;
    if (args.has(QStringLiteral("tls")) || args.has(QStringLiteral("no-tls")))
        input.ftpSecurity = args.has(QStringLiteral("tls")) ? shared::FtpSecurity::ExplicitTls
                                                            : shared::FtpSecurity::None;

    const int oldInterval = input.interval;
    const QString oldUnit = input.unit;
    if (args.has(QStringLiteral("every"))) {
        static const QRegularExpression every(QStringLiteral("^(\\d{1,2})([hd])$"));
        const QRegularExpressionMatch m = every.match(args.value(QStringLiteral("every")));
        if (!m.hasMatch() || m.captured(1).toInt() < 1 || m.captured(1).toInt() > 23)
            throw UsageError(
                QStringLiteral("--every は 1h から 23h、または 1d から 23d で指定してください。"));
        input.interval = m.captured(1).toInt();
        input.unit = m.captured(2);
    }
    if (args.has(QStringLiteral("start"))) {
        const QString text = args.value(QStringLiteral("start"));
        QDateTime start = QDateTime::fromString(text, QStringLiteral("yyyy/MM/dd HH:mm"));
        if (!start.isValid())
            start = QDateTime::fromString(text, QStringLiteral("yyyy/MM/dd HH:mm:ss"));
        if (!start.isValid())
            throw UsageError(
                QStringLiteral("--start は \"yyyy/mm/dd hh:mm\" の形で指定してください。"));
        input.start = shared::localWallTime(start.date(), start.time());
    } else if (!change || input.interval != oldInterval || input.unit != oldUnit) {
        // As the editor proposes a start whenever the interval is set.
        input.start =
            shared::defaultStartTime(shared::SystemClock().now(), input.interval, input.unit);
    }

    if (args.has(QStringLiteral("no-folder"))) {
        input.createFolder = false;
    } else if (args.has(QStringLiteral("folder")) || args.has(QStringLiteral("remote-dir"))) {
        input.createFolder = true;
        input.folderName =
            args.value(QStringLiteral("folder"), args.value(QStringLiteral("remote-dir")));
    }
    if (args.has(QStringLiteral("no-generations"))) {
        input.generationsOn = false;
    } else if (args.has(QStringLiteral("generations"))) {
        input.generationsOn = true;
        input.generations = integerOption(args, QStringLiteral("generations"), 2, 7);
    }
    if (args.has(QStringLiteral("zip")) || args.has(QStringLiteral("7z")))
        input.sevenZip = args.has(QStringLiteral("7z"));
    if (args.has(QStringLiteral("no-zip-password"))) {
        input.archivePasswordOn = false;
        input.archivePassword.clear();
    } else if (args.has(QStringLiteral("zip-password-file"))) {
        if (!input.sevenZip)
            throw UsageError(QStringLiteral("圧縮時パスワードは 7Z 形式でのみ設定できます。"));
        input.archivePasswordOn = true;
        input.archivePassword = readSecret(QStringLiteral("zip-password-file"),
                                           args.value(QStringLiteral("zip-password-file")));
    }
    // Given patterns replace the stored list, as the editor's input does.
    if (args.has(QStringLiteral("no-exclude")))
        input.excludes.clear();
    else if (args.has(QStringLiteral("exclude")))
        input.excludes = args.values(QStringLiteral("exclude"));
    // A ZIP archive carries no password here, as in the editor.
    if (!input.sevenZip) {
        input.archivePasswordOn = false;
        input.archivePassword.clear();
    }
}

} // namespace norvex::ctl
