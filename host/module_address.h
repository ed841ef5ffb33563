#pragma once
// The module a shell command names (HOST[:PORT], -p PORT) and a plain TCP connection to it, for
// the commands that speak to a module without a project: read, write HOST, identify, check.

#include <QCommandLineParser>
#include <QList>
#include <QString>
#include <QStringList>

namespace kib_host {

class CommandSetup;

constexpr int kCampPort = 4450;

struct Module
{
    QString host;
    quint16 port = 0;
    QString name() const { return QStringLiteral("%1:%2").arg(host).arg(port); }
};

// HOST[:PORT] texts; -p PORT is the port of those that name none.
bool parseModules(const QCommandLineParser& parser, const QStringList& texts,
                  QList<Module>* modules, int* status);

// False, with a message and status 2, when the command was given a project file.
bool noProjectFile(const CommandSetup& setup, const QString& command, int* status);

// A connected non-blocking socket (close-on-exec, no Nagle delay), or -1 and why not in *why:
// "no such host", "refused: ...", "timed out: ..." or "cannot connect: ...".
int connectToModule(const Module& module, int timeoutMs, QString* why);

} // namespace kib_host
