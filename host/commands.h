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
    bool verbose = false;  // -v before the command
    QStringList arguments; // the command name, then its arguments
};

QString programHelp();
// A command's exit status, made 1 after configuration mistakes (a script must not take a project
// with mistakes for a good one), and the line that counts them.
int withConfigurationMistakes(int status);
int runInit(const Invocation& invocation);
int runPoll(const Invocation& invocation);
int runWrite(const Invocation& invocation);
int runDiscover(const Invocation& invocation);
// From the shell, without a project: read, write HOST, identify (shell_commands.cpp).
int runRead(const Invocation& invocation);
int runIdentify(const Invocation& invocation);
// What a module does, measured with reads only, and the columns to set (check_command.cpp).
int runCheck(const Invocation& invocation);

// What every command does first: its options (--project and --plugin may also follow the
// command), --help, the project file and the plugin.
class CommandSetup
{
public:
    enum class ProjectFile { Required, Optional };
    CommandSetup(const Invocation& invocation, const QString& help,
                 ProjectFile projectFile = ProjectFile::Required);

    QCommandLineParser parser;

    // --record FILE: the frames into a file (frame_log.h). Called before parse().
    void offerRecording();
    // Keeps the driver's own lines on standard error to --verbose (frame_log.h).
    void hideDriverLinesUnlessVerbose();

    // False when the command ends here: *status is then 0 after --help, 2 after a usage error.
    // -v, --verbose shows every frame on standard error.
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
    QCommandLineOption verboseOption;
    QCommandLineOption recordOption;
    bool recordingOffered = false;
};

// -t, --timeout MS and -p, --port PORT of the commands that name a module.
QCommandLineOption timeoutOption();
QCommandLineOption portOption();

// Options with a number: false (and a message) when the text is not a whole number in range.
bool parseNumberOption(const QCommandLineParser& parser, const QString& name, int minimum,
                       int maximum, int* value);

// The entries of one write command, in the order given, and the mistakes found in them.
struct WriteEntries
{
    explicit WriteEntries(int deviceId) : deviceId(deviceId) {}
    // An entry as typed (V100=1) for the item and the value; checked at once. `shown` is the
    // value as the user wrote it, when that is not the value sent (0x1F40 for 8000).
    void add(const ItemInstancePlugin& item, const QString& value, const QString& text,
             const QString& shown = QString());
    // True, with every mistake told and *status 2, when an entry cannot be written: then nothing
    // is sent.
    bool refuse(int* status) const;

    int deviceId;
    QList<ItemInstancePlugin> items;
    QStringList values;   // as sent
    QStringList shown;    // as written by the user
    QStringList mistakes; // in the order of the entries
};

// kib-host write without a project, once its options are parsed.
int runShellWrite(CommandSetup& setup);

// Sends the entries, one writeData() request each, in this order, and prints what each did under
// the title: "written", or the item's error. The exit status: 0 when every entry was written, 1
// when one was not, 130 after Ctrl-C.
int writeAndReport(KIBInterface* plugin, const DeviceInstancePlugin& device,
                   const WriteEntries& entries, const QString& title);

} // namespace kib_host
