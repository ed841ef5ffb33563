// What a fault does to a connection or to a reply: refused or closed connections, requests left
// unanswered, junk, pieces, half replies and endless ones. The server moves the bytes and the
// scan composes the replies; the faults are configuration that these functions read.
#pragma once

#include <memory>

#include "camp_handler.h"
#include "plc_config.h"
#include "plc_server.h"

namespace camp_sim {

// The faults as the serving threads read them: one immutable snapshot per change.
struct FaultSet
{
    Faults faults;
    ReplyFaults replyFaults; // the part the handler applies while it composes a reply
};

std::shared_ptr<const FaultSet> makeFaultSet(const Faults& faults);

// A new connection while `openConnections` others are open: closed at once, refused beyond the
// module's limit (its own, or a lower one the faults set), or served.
ConnectionHandler::Admission admission(const Faults& faults, int maxConnections,
                                       int openConnections);

// Whether a connection accepted while `othersAtAccept` others were open takes in its requests and
// never answers them.
bool leavesUnanswered(const Faults& faults, int othersAtAccept);

// Opens a reply and never closes it, until the peer gives up or the server stops.
void streamEndlessly(const Link& link);

// Sends `link.reply` at `replyAt` as the faults have it: after junk, cut in half (and the
// connection closed), or in pieces with pauses between them. False when the connection is to be
// closed: a fault closes it, or it broke.
bool sendReply(Link& link, const Faults& faults, Clock::time_point replyAt);

// A plain text service's answer to whatever came in: one line, after the latency. The service
// then hangs up, so the result is always false (close).
bool answerAsTextService(const Link& link, const Faults& faults);

} // namespace camp_sim
