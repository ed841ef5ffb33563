#pragma once
// The commands of kib-host. Each takes the command line after the program's own options and
// returns the process exit status (console.h).

#include <QCommandLineParser>
#include <QString>
#include <QStringList>

#include "host_runtime.h"
#include "kib_records.h"
#include "project.h"

class KIBInterface;

namespace kib_host {

struct Invocation
{
    QString projectPath;   // --project before the command
    QString pluginPath;    // --plugin before the command; empty: the linked plugin library
    QStringList arguments; // the command name, then its arguments
};

QString programHelp();
int runInit(const Invocation& invocation);
int runPoll(const Invocation& invocation);
int runWrite(const Invocation& invocation);
int runDiscover(const Invocation& invocation);
// From the shell, without a project: read, write HOST, identify (shell_commands.cpp).
int runRead(const Invocation& invocation);
int runIdentify(const Invocation& invocation);

// What every command does first: its options (--project and --plugin may also follow the
// command), --help, the project file and the plugin.
class CommandSetup
{
public:
    enum class ProjectFile { Required, Optional };
    CommandSetup(const Invocation& invocation, const QString& help,
                 ProjectFile projectFile = ProjectFile::Required);

    QCommandLineParser parser;

    // False when the command ends here: *status is then 0 after --help, 2 after a usage error.
    bool parse(int* status);
    bool hasProjectFile() const { return !invocation.projectPath.isEmpty(); }
    // Loads the project file, if there is one, and starts the host (the plugin's init() included)
    // with its devices. Without a file, the host starts with the devices added to `project` in
    // memory, and nothing is saved.
    bool start(int* status);

    Project project;
    HostRuntime host;

private:
    Invocation invocation;
    QString help;
    ProjectFile projectFile;
    QCommandLineOption helpOption;
    QCommandLineOption projectOption;
    QCommandLineOption pluginOption;
};

// Options with a number: false (and a message) when the text is not a whole number in range.
bool parseNumberOption(const QCommandLineParser& parser, const QString& name, int minimum,
                       int maximum, int* value);

// Sends one writeData() request with the items and their values, in this order, and prints what
// each entry did under the title: "written", or the item's error. The exit status: 0 when every
// entry was written, 1 when one was not.
// kib-host write without a project, once its options are parsed.
int runShellWrite(CommandSetup& setup);

int writeAndReport(KIBInterface* plugin, const DeviceInstancePlugin& device,
                   const QList<ItemInstancePlugin>& items, const QStringList& values,
                   const QString& title);

} // namespace kib_host
