#pragma once
// Reads a poll's planned blocks over the device's connections, one request outstanding on each,
// and stores every block's values in the request. With one connection the blocks go out one after
// another in the planner's order; with more ("connections" device column, 1 to 8) they are handed
// out in the same order to whichever connection is free, so that a PLC serving several requests a
// scan answers several blocks a scan. Replies outstanding together are awaited together: each
// until one time-out after its request went out.
//
// Every item of the blocks gets its value or an error text: a block that fails gives its error to
// all of its items, and a poll that fails gives the device's error to every item not yet read.

#include <vector>

#include "block_planner.h"
#include "camp_session.h"

// False when a connection broke, or when the module answered but every reply was refused (the
// reason is then in the device's error text). A further connection that the module closes or
// resets before it ever answered counts as refused: its block goes to another connection, and the
// session uses no more connections than the module took. One that times out hands its block on
// without lowering the count.
//
// A merged block the PLC refuses with an error reply is read again item by item, so that one bad
// address never costs its neighbours their values: the items whose own reads the PLC refuses are
// isolated (read alone from then on). An isolated item whose read alone is answered again goes
// back into its block at the next plan, so a moment of refusals costs no frames for long.
bool readBlocks(CampSession& session, LogList* log, const std::vector<ReadSpan>& spans,
                const std::vector<ReadBlock>& blocks, Isolation& isolation);

// The device error of a poll whose every block read was refused.
extern const char kEveryReplyRefused[];
