// The PLC behind the module: its memory, its own program, and its scan. Without a scan time a
// request is served at once; with one it waits for the next scan boundary, where at most a few
// requests are served, so every reply waits for the end of the scan it arrived in.
#pragma once

#include <QList>
#include <QtGlobal>

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "camp_handler.h"
#include "plc_config.h"
#include "plc_memory.h"
#include "scan_queue.h"

namespace camp_sim {

class PlcScan
{
public:
    // The same callbacks as SimulatedPlc's: see there.
    using Program = std::function<void(PlcMemory& memory)>;
    using WriteJournal =
        std::function<void(int addressClass, quint32 address, const QList<quint16>& words)>;

    explicit PlcScan(const PlcConfig& config);

    void start(); // the scans begin, if the PLC has a scan time
    // The scans end in two steps: the requests waiting for a boundary are released unanswered,
    // and once no connection can serve a request any more the scans are dropped.
    void releaseWaiting();
    void stop();

    enum class Served {
        AtOnce,
        AtBoundary,
        Stopped, // the PLC stopped before the request's boundary: no reply
    };
    Served serve(const std::string& request, const ReplyFaults& faults, std::string& reply);

    quint16 word(int addressClass, quint32 address) const;
    void setWord(int addressClass, quint32 address, quint16 value);
    quint32 memorySize(int addressClass) const;

    void setProgram(Program program);
    void setWriteJournal(WriteJournal journal);

    int queuedRequests() const;
    void triggerScan();
    bool setScanTimeMs(int scanTimeMs); // false for a PLC without scans

private:
    void answer(const std::string& request, const ReplyFaults& faults, std::string& reply);

    const int m_scanTimeMs;
    mutable std::mutex m_memoryMutex;
    PlcMemory m_memory;
    Program m_program;           // guarded by m_memoryMutex
    WriteJournal m_writeJournal; // guarded by m_memoryMutex
    std::unique_ptr<ScanQueue> m_scanQueue;
};

} // namespace camp_sim
