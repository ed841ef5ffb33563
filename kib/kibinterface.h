#pragma once
// The interface every KIB device plugin implements. The host calls readData and writeData for
// one device at a time, possibly from several threads at once.

#include <QtPlugin>

#include "kib_records.h"

class KIBInterface
{
public:
    virtual ~KIBInterface() = default;
    virtual bool init() = 0;
    virtual bool readData(LogList* log) = 0;
    virtual bool getEventData(LogList* log) = 0;
    virtual bool logCallback(LogList* log) = 0;
    virtual bool writeData(LogList* log) = 0;
    virtual bool stopPlugin() = 0;
};

#define KIBInterface_iid "org.kib.KIBInterface/1.0.7"
Q_DECLARE_INTERFACE(KIBInterface, KIBInterface_iid)
