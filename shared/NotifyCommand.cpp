#include "shared/NotifyCommand.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QProcessEnvironment>

#include <algorithm>
#include <csignal>
#include <unistd.h>

namespace norvex::shared {

namespace {

// The last line the command wrote to standard error: usually the reason it gives.
QString lastErrorLine(QProcess &process)
{
    const QString err = QString::fromLocal8Bit(process.readAllStandardError()).trimmed();
    const QString line = err.section(QLatin1Char('\n'), -1).trimmed();
    return line.isEmpty() ? QString() : QStringLiteral(" ") + line.left(300);
}

// The command and whatever it started: a script killed alone would leave its children
// (a hanging curl, a mail transfer) running with the pipes open.
void killGroup(QProcess &process)
{
    const pid_t pid = pid_t(process.processId());
    if (pid > 0)
        ::kill(-pid, SIGKILL);
    process.kill();
    process.waitForFinished(5000);
}

QString limitText(int timeoutMs)
{
    if (timeoutMs % 1000 == 0)
        return QString::number(timeoutMs / 1000) + QStringLiteral(" 秒");
    return QString::number(timeoutMs) + QStringLiteral(" ミリ秒");
}

} // namespace

bool splitNotifyCommand(const QString &command, QStringList &words)
{
    words.clear();
    QString word;
    bool inWord = false;
    enum class Quote { None, Single, Double } quote = Quote::None;
    const qsizetype n = command.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = command[i];
        switch (quote) {
        case Quote::Single:
            if (c == QLatin1Char('\''))
                quote = Quote::None;
            else
                word += c;
            break;
        case Quote::Double:
            if (c == QLatin1Char('"')) {
                quote = Quote::None;
            } else if (c == QLatin1Char('\\') && i + 1 < n &&
                       QStringView(u"\"\\$`").contains(command[i + 1])) {
                word += command[++i];
            } else {
                word += c;
            }
            break;
        case Quote::None:
            if (c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n')) {
                if (inWord)
                    words.append(word);
                word.clear();
                inWord = false;
                break;
            }
            inWord = true;
            if (c == QLatin1Char('\''))
                quote = Quote::Single;
            else if (c == QLatin1Char('"'))
                quote = Quote::Double;
            else if (c == QLatin1Char('\\') && i + 1 < n)
                word += command[++i];
            else
                word += c;
            break;
        }
    }
    if (quote != Quote::None) {
        words.clear();
        return false;
    }
    if (inWord)
        words.append(word);
    return true;
}

QString runNotifyCommand(const QString &command, const QString &job, const QString &event,
                         const QString &text, int timeoutMs, const std::atomic<bool> *cancel)
{
    // QProcess::splitCommand knows only double quotes; a command written for a shell's
    // rules, as the setting's users write it, needs single quotes too.
    QStringList words;
    if (!splitNotifyCommand(command, words))
        return QStringLiteral("通知コマンドの引用符が閉じられていません。");
    if (words.isEmpty())
        return QStringLiteral("通知コマンドが設定されていません。");
    const QString program = words.takeFirst();

    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("NORVEX_JOB"), job);
    env.insert(QStringLiteral("NORVEX_EVENT"), event);
    env.insert(QStringLiteral("NORVEX_TEXT"), text);
    process.setProcessEnvironment(env);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setChildProcessModifier([] { ::setpgid(0, 0); });
    const QDeadlineTimer deadline(timeoutMs);
    process.start(program, words);
    if (!process.waitForStarted(timeoutMs))
        return QStringLiteral("通知コマンド %1 を起動できませんでした。%2")
            .arg(program, process.errorString());
    // In slices, so that a stop of the service does not wait for the whole limit.
    while (!process.waitForFinished(int(std::min<qint64>(deadline.remainingTime(), 100)))) {
        if (process.state() == QProcess::NotRunning)
            break;
        if (cancel && cancel->load()) {
            killGroup(process);
            return QStringLiteral("通知コマンド %1 をサービスの終了のため停止しました。")
                .arg(program);
        }
        if (deadline.hasExpired()) {
            killGroup(process);
            return QStringLiteral("通知コマンド %1 が %2以内に終了しなかったため停止しました。")
                .arg(program, limitText(timeoutMs));
        }
    }
    if (process.exitStatus() == QProcess::CrashExit)
        return QStringLiteral("通知コマンド %1 が異常終了しました。").arg(program) +
               lastErrorLine(process);
    if (process.exitCode() != 0)
        return QStringLiteral("通知コマンド %1 が終了コード %2 で終了しました。")
                   .arg(program)
                   .arg(process.exitCode()) +
               lastErrorLine(process);
    // The command's own children may live on (a mail queued in the background): that is
    // the command's choice, not a failure.
    return {};
}

} // namespace norvex::shared
