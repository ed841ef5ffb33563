#pragma once
// One host write request of one device: every entry's value is checked and encoded by the item's
// data type and written with its own command. Discrete items (X, Y, C) change only bit 0 of
// their word. A value that cannot be written exactly as asked is refused before anything is sent.
// Every entry that is not written says why in its error text.

#include "camp_session.h"
#include "module_write_locks.h"
#include "plugininterface.h"

// Called with the session locked. False when the device is unreachable or the connection broke
// (the reason is then in the device's error text): the entries after that one are not written.
// Every entry written is told in the host's debug log; a word's read and write go out under its
// module's lock in `moduleLocks`.
bool writeDevice(CampSession& session, LogList* log, PluginInterface& host,
                 ModuleWriteLocks& moduleLocks);
