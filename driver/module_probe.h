#pragma once
// A sign of life from a module that never blocks: a connection and one small read request (one
// word of V1, as discovery's identify request), started by one call and looked at by later ones.
// A device whose module is gone is watched this way for its return without holding the caller's
// thread. The module is back when the probe's own request is answered: a read reply or an error
// reply with a good BCC (a frame that merely repeats the request, as a connection to itself
// does, is no answer). The connection is closed once the probe has its answer.
//
// Each step has the patience it is given, counted from its own start: the name and the
// connection from the probe's start, the reply from when the request went out. A reply that came
// between two looks counts at the next look, however late that is.

#include <QByteArray>
#include <QtGlobal>

#include <netinet/in.h>

class ModuleProbe
{
public:
    enum class State { Idle, Waiting, Answered, Failed };

    ModuleProbe() = default;
    ~ModuleProbe() { close(); }
    ModuleProbe(const ModuleProbe&) = delete;
    ModuleProbe& operator=(const ModuleProbe&) = delete;

    // Starts resolving and connecting to host:port; Failed at once when that cannot even begin.
    // A name is looked up without waiting: the probe waits for it like for the connection.
    State start(const QByteArray& host, int port, qint64 nowMs, int patienceMs);
    // Where the probe stands now, without waiting: Waiting (for the name, the connection or the
    // reply), Answered, or Failed (no such host, refused, closed, no answer, or a step that took
    // longer than its patience). Answered and Failed close the probe: the next look is Idle.
    State look(qint64 nowMs);
    void close();

private:
    State connectTo(const in_addr& address, qint64 nowMs);
    State sendRequest(qint64 nowMs);
    State receiveReply();
    State finish(State state);

    enum class Step { None, Resolving, Connecting, AwaitingReply };

    Step step = Step::None;
    int fd = -1;
    QByteArray host;
    int port = 0;
    int patienceMs = 0;
    qint64 stepStartedAtMs = 0;
    QByteArray received;
};
