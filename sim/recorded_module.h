// A recorded module as a peer: every request frame found in a recording is answered with the
// reply recorded for it (the next frame received on the same connection after it was sent), after
// the recorded round trip. A request recorded several times answers with its replies in order,
// the last one repeating; one recorded without a reply (the module was silent) gets none. A
// request the recording does not hold gets an error reply (0294), and one line on standard error
// names it.
#pragma once

#include "frame_recording.h"
#include "simulated_plc.h"

#include <QHash>

#include <mutex>
#include <vector>

namespace camp_sim {

class RecordedModule
{
public:
    explicit RecordedModule(const QList<RecordedFrame>& frames);

    // Called from the PLC's serving threads, for every request in turn.
    SimulatedPlc::Response respond(const QByteArray& request);

private:
    struct Replies
    {
        std::vector<SimulatedPlc::Response> inOrder;
        size_t next = 0;
    };

    std::mutex mutex;
    QHash<QByteArray, Replies> byRequest;
};

// Plays the recording in FILE instead of the PLC's memory. Call it before start(). False with
// the reason when the file cannot be read or a line is not a frame line.
bool attachReplay(const QString& path, SimulatedPlc& plc, QString* error);

} // namespace camp_sim
