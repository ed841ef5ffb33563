#pragma once
// One host poll of one device: the items are planned into as few block reads as the protocol
// allows (or the plan of the last poll of the same records is used again), each block is read,
// and its words are cut back into the items' values.

#include "camp_session.h"
#include "plugininterface.h"

// Called with the session locked. False when the device is unreachable or the connection broke
// (the reason is then in the device's error text); items may carry errors either way. The host
// hears of configuration mistakes through its debug log and gets the device's identity items.
bool pollDevice(CampSession& session, LogList* log, PluginInterface& host);
