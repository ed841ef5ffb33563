#pragma once
// The commands of kib-host. Each takes the command line after the program's own options and
// returns the process exit status (console.h).

#include <QCommandLineParser>
#include <QString>
#include <QStringList>

#include "host_runtime.h"
#include "project.h"

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

// What every command does first: its options (--project and --plugin may also follow the
// command), --help, the project file and the plugin.
class CommandSetup
{
public:
    CommandSetup(const Invocation& invocation, const QString& help);

    QCommandLineParser parser;

    // False when the command ends here: *status is then 0 after --help, 2 after a usage error.
    bool parse(int* status);
    // Loads the project and starts the host (the plugin's init() included).
    bool start(int* status);

    Project project;
    HostRuntime host;

private:
    Invocation invocation;
    QString help;
    QCommandLineOption helpOption;
    QCommandLineOption projectOption;
    QCommandLineOption pluginOption;
};

// Options with a number: false (and a message) when the text is not a whole number in range.
bool parseNumberOption(const QCommandLineParser& parser, const QString& name, int minimum,
                       int maximum, int* value);

} // namespace kib_host
