// kib-host: a reference host for the CAMP/NITP device plugin (see commands.h and README.md).

#include <QCommandLineParser>
#include <QCoreApplication>

#include <functional>
#include <map>

#include "commands.h"
#include "console.h"

using namespace kib_host;

namespace {

const std::map<QString, std::function<int(const Invocation&)>>& commands()
{
    static const std::map<QString, std::function<int(const Invocation&)>> table = {
        {QStringLiteral("init"), runInit},   {QStringLiteral("poll"), runPoll},
        {QStringLiteral("write"), runWrite}, {QStringLiteral("discover"), runDiscover},
        {QStringLiteral("read"), runRead},   {QStringLiteral("identify"), runIdentify},
        {QStringLiteral("check"), runCheck},
    };
    return table;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kib-host"));
    QCoreApplication::setApplicationVersion(QStringLiteral(CAMP_NITP_VERSION));

    QCommandLineParser parser;
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QString());
    const QCommandLineOption project(QStringLiteral("project"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption plugin(QStringLiteral("plugin"), QString(), QStringLiteral("PATH"));
    const QCommandLineOption version(QStringLiteral("version"), QString());
    const QCommandLineOption verbose({QStringLiteral("v"), QStringLiteral("verbose")}, QString());
    parser.addOptions({help, version, project, plugin, verbose});
    // Everything after the command belongs to the command.
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    if (!parser.parse(QCoreApplication::arguments())) {
        return fail(kExitUsage, parser.errorText() + QStringLiteral(" (kib-host --help)"));
    }

    if (parser.isSet(version)) {
        printOut(QStringLiteral("kib-host %1\n").arg(QCoreApplication::applicationVersion()));
        return kExitOk;
    }

    Invocation invocation;
    invocation.projectPath = parser.value(project);
    invocation.pluginPath = parser.value(plugin);
    invocation.verbose = parser.isSet(verbose);
    invocation.arguments = parser.positionalArguments();
    QString command = invocation.arguments.value(0);
    if (command == QLatin1String("help")) {
        // "kib-host help poll" is "kib-host poll --help".
        invocation.arguments = QStringList{invocation.arguments.value(1), QStringLiteral("--help")};
        command = invocation.arguments.first();
        if (command.isEmpty()) {
            printOut(programHelp());
            return kExitOk;
        }
    }
    if (parser.isSet(help) && command.isEmpty()) {
        printOut(programHelp());
        return kExitOk;
    }
    if (parser.isSet(help)) {
        invocation.arguments.append(QStringLiteral("--help"));
    }
    if (command.isEmpty()) {
        printErr(programHelp());
        return kExitUsage;
    }
    const auto found = commands().find(command);
    if (found == commands().end()) {
        return fail(kExitUsage,
                    QStringLiteral("unknown command \"%1\" (kib-host --help)").arg(command));
    }
    const int status = withConfigurationMistakes(found->second(invocation));
    return outputLost() ? kExitOutputLost : status;
}
