#include "plc_scan.h"

namespace camp_sim {

namespace {

constexpr int kRequestsPerScan = 8;

} // namespace

PlcScan::PlcScan(const PlcConfig& config)
    : m_scanTimeMs(config.scanTimeMs), m_memory(config.memorySizes)
{
    m_memory.setWord(kClassSTW, 259, config.serial);
    m_memory.setWord(kClassSTW, 260, config.firmwareMajor);
    m_memory.setWord(kClassSTW, 261, config.firmwareMinor);
}

void PlcScan::start()
{
    if (m_scanTimeMs > 0) {
        m_scanQueue = std::make_unique<ScanQueue>(
            m_scanTimeMs, kRequestsPerScan,
            [this](const std::string& request, const ReplyFaults& faults, std::string& reply) {
                answer(request, faults, reply);
            });
    }
}

void PlcScan::releaseWaiting()
{
    if (m_scanQueue) {
        m_scanQueue->stop();
    }
}

void PlcScan::stop()
{
    m_scanQueue.reset();
}

PlcScan::Served PlcScan::serve(const std::string& request, const ReplyFaults& faults,
                               std::string& reply)
{
    if (!m_scanQueue) {
        answer(request, faults, reply);
        return Served::AtOnce;
    }
    return m_scanQueue->submit(request, faults, reply) ? Served::AtBoundary : Served::Stopped;
}

// The program runs before each request, so that it changes memory between the requests of the
// clients as a running PLC does.
void PlcScan::answer(const std::string& request, const ReplyFaults& faults, std::string& reply)
{
    std::lock_guard<std::mutex> lock(m_memoryMutex);
    if (m_program) {
        m_program(m_memory);
    }
    const HandleResult result =
        handleRequest(request.data(), request.size(), m_memory, faults, reply);
    if (result.wroteMemory && m_writeJournal) {
        QList<quint16> words;
        for (quint32 i = 0; i < result.count; ++i) {
            words.append(m_memory.word(result.addressClass, result.address + i));
        }
        m_writeJournal(result.addressClass, result.address, words);
    }
}

quint16 PlcScan::word(int addressClass, quint32 address) const
{
    std::lock_guard<std::mutex> lock(m_memoryMutex);
    return m_memory.word(addressClass, address);
}

void PlcScan::setWord(int addressClass, quint32 address, quint16 value)
{
    std::lock_guard<std::mutex> lock(m_memoryMutex);
    m_memory.setWord(addressClass, address, value);
}

quint32 PlcScan::memorySize(int addressClass) const
{
    return m_memory.size(addressClass); // sizes never change
}

void PlcScan::setProgram(Program program)
{
    std::lock_guard<std::mutex> lock(m_memoryMutex);
    m_program = std::move(program);
}

void PlcScan::setWriteJournal(WriteJournal journal)
{
    std::lock_guard<std::mutex> lock(m_memoryMutex);
    m_writeJournal = std::move(journal);
}

int PlcScan::queuedRequests() const
{
    return m_scanQueue ? m_scanQueue->queued() : 0;
}

void PlcScan::triggerScan()
{
    if (m_scanQueue) {
        m_scanQueue->trigger();
    }
}

bool PlcScan::setScanTimeMs(int scanTimeMs)
{
    if (!m_scanQueue) {
        return false;
    }
    m_scanQueue->setScanTime(scanTimeMs);
    return true;
}

} // namespace camp_sim
