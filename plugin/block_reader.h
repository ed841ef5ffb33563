#pragma once
// Reads a poll's planned blocks over the device's connections, one request outstanding on each,
// and stores every block's values in the request. With one connection the blocks go out one after
// another in the planner's order; with more ("connections" device column, 1 to 8) they are handed
// out in the same order to whichever connection is free, so that a PLC serving several requests a
// scan answers several blocks a scan.

#include <vector>

#include "block_planner.h"
#include "camp_session.h"

// False when a connection broke (its reason is then in the device's error text). A further
// connection that fails before it ever answered counts as refused by the module: its block goes
// to another connection, and the session uses no more connections than the module took.
bool readBlocks(CampSession& session, LogList* log, const std::vector<ReadSpan>& spans,
                const std::vector<ReadBlock>& blocks);

// The "connections" device column: 1 to 8, clamped; anything that is not a number reads as 1.
int pollConnections(const DeviceInstancePlugin& device);
