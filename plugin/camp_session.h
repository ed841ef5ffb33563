#pragma once
// One device's connection and its lock: at most one poll or write uses a device's connection at a
// time, while different devices are served in parallel. Always held through a shared pointer, so a
// session taken out of the map lives on until the call that holds it ends.

#include <QMutex>

#include "camp_nitp.h"

struct CampSession
{
    CampSession() = default;
    CampSession(const CampSession&) = delete;
    CampSession& operator=(const CampSession&) = delete;

    CAMP_NITP driver; // its destructor closes the connection
    QMutex mutex;     // held for the whole of every poll or write on this device
};
