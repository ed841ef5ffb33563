#include "commands.h"

#include "console.h"
#include "frame_log.h"

namespace kib_host {

QString programHelp()
{
    return QStringLiteral(
               "Usage: kib-host --project FILE [--plugin PATH] COMMAND [options]\n"
               "       kib-host [--plugin PATH] read HOST[:PORT] ITEM...\n"
               "       kib-host [--plugin PATH] write HOST[:PORT] ITEM=VALUE...\n"
               "       kib-host identify HOST[:PORT]...\n"
               "       kib-host check HOST[:PORT]\n"
               "\n"
               "A reference host for the CAMP/NITP device plugin. It loads the plugin file with\n"
               "QPluginLoader as the KIB host does, keeps devices and items in a JSON project\n"
               "file, calls init() and then polls, writes and discovers, from several threads.\n"
               "From the shell it reads, writes and identifies a module without a project.\n"
               "\n"
               "Commands with a project:\n"
               "  init       call init(), show the registered columns, save the identity items\n"
               "             init() creates into the project file\n"
               "  poll       poll every device (or one), one host thread per device\n"
               "  write      write values to items of one device, one request an entry\n"
               "  discover   scan local IPv4 subnets for CTI 2572 modules; --import adds them\n"
               "\n"
               "Commands without a project (port 4450 unless given):\n"
               "  read       read items of a module: kib-host read 10.1.4.20 V100-120 V117:float\n"
               "  write      write items of a module: kib-host write 10.1.4.20 V300=42\n"
               "  identify   the serial number and firmware of modules, or why not\n"
               "  check      measure a module with reads only (reply form, round trip, largest\n"
               "             read, connections) and name the device columns to set for it\n"
               "\n"
               "Options:\n"
               "  --project FILE  the project file (JSON; see README.md)\n"
               "  --plugin PATH   the plugin file to load (default: the plugin library kib-host\n"
               "                  is linked with, %1).\n"
               "                  The discovery service is always taken from the linked plugin\n"
               "                  library.\n"
               "  -v, --verbose   every frame the plugin sends and receives on standard error,\n"
               "                  with its time (also after the command: kib-host read -v ...)\n"
               "  -h, --help      this help; kib-host COMMAND --help tells about a command\n"
               "  --version       the version of kib-host and the plugin it is built with\n"
               "\n"
               "Exit status: 0 done; 1 a device did not answer, an item was not read, a write\n"
               "entry failed, a module was not identified or not measured, or the project has\n"
               "configuration mistakes (told on standard error, with a last line that counts\n"
               "them); 2 bad arguments, project file or plugin, or a write refused whole (nothing\n"
               "sent); 3 standard output could not be written (its reader went away, a full\n"
               "disk): kib-host stops at once; 130 stopped by Ctrl-C.\n")
        .arg(linkedPluginPath().isEmpty() ? QStringLiteral("not found") : linkedPluginPath());
}

int withConfigurationMistakes(int status)
{
    const int mistakes = HostRuntime::configurationMistakes();
    if (mistakes == 0) {
        return status;
    }
    printErr(QStringLiteral("kib-host: %1 configuration %2 above; the plugin goes on with what "
                            "each line says it uses\n")
                 .arg(mistakes)
                 .arg(mistakes == 1 ? QStringLiteral("mistake") : QStringLiteral("mistakes")));
    return status == kExitOk ? kExitFailed : status;
}

CommandSetup::CommandSetup(const Invocation& invocation, const QString& help,
                           ProjectFile projectFile)
    : invocation(invocation), help(help), projectFile(projectFile),
      helpOption({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show help.")),
      projectOption(QStringLiteral("project"), QStringLiteral("Project file."),
                    QStringLiteral("FILE")),
      pluginOption(QStringLiteral("plugin"), QStringLiteral("Plugin file."),
                   QStringLiteral("PATH")),
      verboseOption({QStringLiteral("v"), QStringLiteral("verbose")}, QStringLiteral("Frames.")),
      recordOption(QStringLiteral("record"), QStringLiteral("Frames into a file."),
                   QStringLiteral("FILE"))
{
    parser.addOptions({helpOption, projectOption, pluginOption, verboseOption});
}

void CommandSetup::offerRecording()
{
    parser.addOption(recordOption);
    recordingOffered = true;
}

void CommandSetup::hideDriverLinesUnlessVerbose()
{
    if (!invocation.verbose) {
        FrameLog::hideDriverLines();
    }
}

bool CommandSetup::parse(int* status)
{
    const QString command = invocation.arguments.value(0);
    if (!parser.parse(invocation.arguments)) {
        *status = fail(kExitUsage,
                       QStringLiteral("%1 (kib-host %2 --help)").arg(parser.errorText(), command));
        return false;
    }
    if (parser.isSet(helpOption)) {
        printOut(help);
        *status = kExitOk;
        return false;
    }
    if (parser.isSet(projectOption)) {
        invocation.projectPath = parser.value(projectOption);
    }
    if (parser.isSet(pluginOption)) {
        invocation.pluginPath = parser.value(pluginOption);
    }
    invocation.verbose = invocation.verbose || parser.isSet(verboseOption);
    if (invocation.projectPath.isEmpty() && projectFile == ProjectFile::Required) {
        *status = fail(kExitUsage, QStringLiteral("%1 needs --project FILE").arg(command));
        return false;
    }
    QString error;
    const QString recordPath = recordingOffered ? parser.value(recordOption) : QString();
    if (!FrameLog::start(invocation.verbose, recordPath, &error)) {
        *status = fail(kExitUsage, error);
        return false;
    }
    return true;
}

bool CommandSetup::start(int* status)
{
    QString error;
    if (hasProjectFile() && !Project::load(invocation.projectPath, &project, &error)) {
        *status = fail(kExitUsage, error);
        return false;
    }
    const QString pluginPath =
        invocation.pluginPath.isEmpty() ? linkedPluginPath() : invocation.pluginPath;
    if (!host.start(pluginPath, project, &error)) {
        *status = fail(kExitUsage, error);
        return false;
    }
    return true;
}

bool parseNumberOption(const QCommandLineParser& parser, const QString& name, int minimum,
                       int maximum, int* value)
{
    if (!parser.isSet(name)) {
        return true;
    }
    bool ok = false;
    const int number = parser.value(name).toInt(&ok);
    if (ok && number >= minimum && number <= maximum) {
        *value = number;
        return true;
    }
    fail(kExitUsage, QStringLiteral("--%1 takes a whole number from %2 to %3, not \"%4\"")
                         .arg(name)
                         .arg(minimum)
                         .arg(maximum)
                         .arg(parser.value(name)));
    return false;
}

} // namespace kib_host
