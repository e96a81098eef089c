#include "shared/NotifyCommand.h"

#include <QProcess>
#include <QProcessEnvironment>

namespace norvex::shared {

namespace {

// The last line the command wrote to standard error: usually the reason it gives.
QString lastErrorLine(QProcess &process)
{
    const QString err = QString::fromLocal8Bit(process.readAllStandardError()).trimmed();
    const QString line = err.section(QLatin1Char('\n'), -1).trimmed();
    return line.isEmpty() ? QString() : QStringLiteral(" ") + line.left(300);
}

} // namespace

QString runNotifyCommand(const QString &command, const QString &job, const QString &event,
                         const QString &text, int timeoutMs)
{
    QStringList words = QProcess::splitCommand(command);
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
    process.start(program, words);
    if (!process.waitForStarted(timeoutMs))
        return QStringLiteral("通知コマンド %1 を起動できませんでした。%2")
            .arg(program, process.errorString());
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(5000);
        return QStringLiteral("通知コマンド %1 が %2 秒以内に終了しなかったため停止しました。")
            .arg(program)
            .arg(timeoutMs / 1000);
    }
    if (process.exitStatus() == QProcess::CrashExit)
        return QStringLiteral("通知コマンド %1 が異常終了しました。").arg(program) +
               lastErrorLine(process);
    if (process.exitCode() != 0)
        return QStringLiteral("通知コマンド %1 が終了コード %2 で終了しました。")
                   .arg(program)
                   .arg(process.exitCode()) +
               lastErrorLine(process);
    return {};
}

} // namespace norvex::shared
