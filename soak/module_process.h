// One simulated module: a camp-sim process of its own, steered through its standard input, so
// that a restart is a real process restart on the same port and a pause a real SIGSTOP.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <sys/types.h>

namespace soak {

class ModuleProcess
{
public:
    ModuleProcess(const QString& program, int index, const QString& workDir);
    ~ModuleProcess(); // kills it if it still runs
    ModuleProcess(const ModuleProcess&) = delete;
    ModuleProcess& operator=(const ModuleProcess&) = delete;

    // The first start: a port below the machine's ephemeral range, so that no outgoing
    // connection of this machine can take it while the module is down for a restart.
    bool startOnFreePort(QString* error);
    bool start(QString* error); // again, on the same port
    // Another module in its place, on the same port and journal: its serial number is
    // kStandInSerialOffset higher and it does not echo class and address, from its first
    // connection on. start() brings the module itself back.
    bool startStandIn(QString* error);
    void kill();   // SIGKILL, as a power cut
    void pause();  // SIGSTOP: connections stay open and nothing answers
    void resume(); // SIGCONT
    void stop();   // the end of its commands: it stops by itself

    // One command line; its answer ("ok ...", "error: ..."), or an empty text when none came.
    QByteArray command(const QByteArray& line);
    bool commandOk(const QByteArray& line) { return command(line).startsWith("ok"); }

    bool running() const { return m_pid > 0; }
    int index() const { return m_index; }
    quint16 port() const { return m_port; }
    quint16 serial() const { return static_cast<quint16>(900 + m_index); }
    QString journalPath() const;

private:
    bool spawn(const QStringList& arguments);
    bool startWith(const QStringList& arguments, QString* error);
    bool readLine(QByteArray* line, int timeoutMs);
    void closePipes();
    QStringList arguments(quint16 serialNumber) const;

    QString m_program;
    int m_index;
    QString m_workDir;
    quint16 m_port = 0;
    pid_t m_pid = -1;
    int m_toModule = -1;
    int m_fromModule = -1;
    QByteArray m_pending;
};

} // namespace soak
