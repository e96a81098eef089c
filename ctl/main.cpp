#include "ctl/Ctl.h"

#include <QCoreApplication>

#include <map>

using namespace norvex;

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("norvexctl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(NORVEX_VERSION));

    const QStringList words = app.arguments().mid(1);
    if (!words.isEmpty() &&
        (words[0] == QLatin1String("--help") || words[0] == QLatin1String("-h"))) {
        ctl::out(ctl::helpText());
        return ctl::Success;
    }
    if (!words.isEmpty() && words[0] == QLatin1String("--version")) {
        ctl::out(QStringLiteral("norvexctl " NORVEX_VERSION "\n"));
        return ctl::Success;
    }
    using Command = int (*)(const ctl::Context &, const QStringList &);
    static const std::map<QString, Command> commands = {
        {QStringLiteral("list"), ctl::listCommand},
        {QStringLiteral("show"), ctl::showCommand},
        {QStringLiteral("add"), ctl::addCommand},
        {QStringLiteral("change"), ctl::changeCommand},
        {QStringLiteral("delete"), ctl::deleteCommand},
        {QStringLiteral("run"), ctl::runCommand},
        {QStringLiteral("check"), ctl::checkCommand},
        {QStringLiteral("log"), ctl::logCommand},
        {QStringLiteral("service"), ctl::serviceCommand},
        {QStringLiteral("generations"), ctl::generationsCommand},
        {QStringLiteral("restore"), ctl::restoreCommand},
    };
    try {
        if (words.isEmpty())
            throw ctl::UsageError(QStringLiteral("サブコマンドを指定してください。"));
        const auto command = commands.find(words[0]);
        if (command == commands.end())
            throw ctl::UsageError(QStringLiteral("不明なサブコマンドです: ") + words[0]);
        if (words.contains(QStringLiteral("--help"))) {
            ctl::out(ctl::helpText());
            return ctl::Success;
        }
        return command->second(ctl::Context(), words.mid(1));
    } catch (const ctl::UsageError &error) {
        ctl::err(QStringLiteral("norvexctl: ") + error.text() +
                 QStringLiteral("\n'norvexctl --help' で使い方を表示します。\n"));
        return ctl::Usage;
    }
}
