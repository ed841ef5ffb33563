#pragma once
// A poll's identity items, filled from the PLC's status words: the serial number (STW259) and
// the firmware version (STW260.STW261), read with one request.

#include "camp_nitp.h"
#include "plugininterface.h"
#include "poll_plan.h"

// Reads the status words once for a poll that asks for at least one identity item, and gives
// every identity item of the request its value or why it has none. The host is asked for the
// device's identity items the request did not hold, so that a poll always returns them.
void fillPolledIdentity(CAMP_NITP& driver, LogList* log, const PollPlan& plan,
                        PluginInterface& host);
