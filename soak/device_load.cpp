#include "device_load.h"

#include "kib_requests.h"
#include "kibinterface.h"
#include "oracle_pattern.h"

#include <cstring>
#include <utility>

namespace soak {

namespace {

constexpr int kMostFindingsKept = 20;
// A call that took this long most likely waited for a lost SYN to go again.
constexpr qint64 kCallOfASecondMs = 900;

qint64 patternStepAt(Clock::time_point time)
{
    return camp_sim::patternStep(time);
}

// The value text of a Float item whose two words hold their pattern in this generation.
QString floatText(const PolledItem& item, quint8 generation)
{
    const quint32 bits = quint32(camp_sim::patternWord(item.addressClass, item.address, generation))
                             << 16 |
                         camp_sim::patternWord(item.addressClass, item.address + 1, generation);
    float value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return QString::number(value, 'g', 6);
}

// Whether the text is the item's value in one of the generations from step `first` to `last`.
bool isRightValue(const PolledItem& item, const QString& text, qint64 first, qint64 last)
{
    if (item.dataType == kib_requests::Float) {
        const qint64 steps = std::min<qint64>(last - first, 255);
        for (qint64 step = first; step <= first + steps; ++step) {
            if (floatText(item, quint8(step & 0xFF)) == text) {
                return true;
            }
        }
        return false;
    }
    bool ok = false;
    const int number = text.toInt(&ok);
    const bool inRange = item.dataType == kib_requests::Integer
                             ? number >= -32768 && number <= 32767
                             : number >= 0 && number <= 65535;
    return ok && inRange &&
           camp_sim::isPatternWordWithin(quint16(number & 0xFFFF), item.addressClass, item.address,
                                         first, last);
}

} // namespace

DeviceLoad::DeviceLoad(KIBInterface* plugin, int deviceId, const QString& host, quint16 port)
    : m_plugin(plugin), m_deviceId(deviceId), m_host(host), m_port(port), m_items(polledItems())
{
    m_recoveries.reserve(4096); // no allocation while the soak measures
    m_awaited.reserve(16);
    QList<DataItem> entries;
    for (const PolledItem& item : m_items) {
        entries.append(kib_requests::entry(
            kib_requests::memoryItem(itemLabel(item.addressClass, item.address), item.addressClass,
                                     QString::number(item.address), item.dataType)));
    }
    m_pollRequest = request(entries);
}

// The device's request with these items: polls and writes alike over kPollConnections.
LogList DeviceLoad::request(const QList<DataItem>& entries) const
{
    LogList log =
        kib_requests::deviceRequest(m_deviceId, QStringLiteral("module-%1").arg(m_deviceId), m_host,
                                    m_port, kDeviceTimeoutMs, entries);
    log.columns.insert(QStringLiteral("connections"), QString::number(kPollConnections));
    log.columns.insert(QStringLiteral("offscan_retry_ms"), QString::number(kOffScanRetryMs));
    return log;
}

DeviceLoad::~DeviceLoad()
{
    stop();
}

void DeviceLoad::start()
{
    m_stopping = false;
    m_poller = std::thread([this] { pollLoop(); });
    m_writer = std::thread([this] { writeLoop(); });
}

void DeviceLoad::stop()
{
    {
        std::lock_guard<std::mutex> lock(m_stopMutex);
        m_stopping = true;
    }
    m_stopSignal.notify_all();
    if (m_poller.joinable()) {
        m_poller.join();
    }
    if (m_writer.joinable()) {
        m_writer.join();
    }
}

bool DeviceLoad::sleepUntil(Clock::time_point when)
{
    std::unique_lock<std::mutex> lock(m_stopMutex);
    return !m_stopSignal.wait_until(lock, when, [this] { return m_stopping.load(); });
}

bool DeviceLoad::pollOnce()
{
    LogList log = m_pollRequest;
    const Clock::time_point start = Clock::now();
    const bool returned = m_plugin->readData(&log);
    const Clock::time_point end = Clock::now();
    ++m_polls;
    noteCallTime(start, end);
    if (log.errorText.startsWith(QLatin1String("Off-scan"))) {
        ++m_offScanPolls;
    }
    checkValues(log, start, end);
    checkSilence(log);
    const bool whole = isWhole(log, returned);
    if (whole) {
        ++m_wholePolls;
        std::lock_guard<std::mutex> lock(m_mutex);
        // After a fault's end, a poll that ends after it counts; after a stage of a fault under
        // way, only one that started after it, so that a poll on connections the stage took away
        // tells nothing.
        for (auto awaited = m_awaited.begin(); awaited != m_awaited.end();) {
            if (awaited->stage ? start >= awaited->since : end >= awaited->since) {
                m_recoveries.push_back(
                    {awaited->kind, awaited->stage, msBetween(awaited->since, end)});
                awaited = m_awaited.erase(awaited);
            } else {
                ++awaited;
            }
        }
    }
    return whole;
}

void DeviceLoad::pollLoop()
{
    Clock::time_point next = Clock::now();
    while (!m_stopping) {
        pollOnce();
        next = std::max(next + std::chrono::milliseconds(kPollIntervalMs), Clock::now());
        if (!sleepUntil(next)) {
            return;
        }
    }
}

// Every value the host got without an error must be the word its own item's address held while
// the poll ran: its mark and a generation between the poll's start and end.
void DeviceLoad::checkValues(const LogList& log, Clock::time_point start, Clock::time_point end)
{
    const qint64 first = patternStepAt(start);
    const qint64 last = patternStepAt(end);
    for (int i = 0; i < log.items.size(); ++i) {
        const DataItem& data = log.items[i];
        if (!data.item.errorText.isEmpty() || !data.values.contains(QStringLiteral("value"))) {
            continue;
        }
        const QString value = kib_requests::valueOf(data);
        if (isRightValue(m_items[i], value, first, last)) {
            continue;
        }
        ++m_wrong;
        noteFinding(QStringLiteral("device %1: %2 gave %3, not its word of generations %4-%5")
                        .arg(m_deviceId)
                        .arg(data.item.uid, value)
                        .arg(first & 0xFF)
                        .arg(last & 0xFF));
    }
}

// The request carries no values, so a value is what this poll gave; an item without one must say
// why, whatever readData() returned.
void DeviceLoad::checkSilence(const LogList& log)
{
    for (const DataItem& data : log.items) {
        if (data.values.contains(QStringLiteral("value")) || !data.item.errorText.isEmpty()) {
            continue;
        }
        ++m_silent;
        noteFinding(QStringLiteral("device %1: %2 came back from a poll with neither a value "
                                   "nor an error")
                        .arg(m_deviceId)
                        .arg(data.item.uid));
    }
}

bool DeviceLoad::isWhole(const LogList& log, bool returned) const
{
    if (!returned || !log.errorText.isEmpty()) {
        return false;
    }
    for (const DataItem& data : log.items) {
        if (!data.item.errorText.isEmpty() || !data.values.contains(QStringLiteral("value"))) {
            return false;
        }
    }
    return true;
}

void DeviceLoad::writeLoop()
{
    Clock::time_point next = Clock::now();
    bool discreteBit = false;
    while (!m_stopping) {
        writeOnce(discreteBit);
        discreteBit = !discreteBit;
        next = std::max(next + std::chrono::milliseconds(kWriteIntervalMs), Clock::now());
        if (!sleepUntil(next)) {
            return;
        }
    }
}

// One write request: the next value of every word item, and the discrete item's bit.
void DeviceLoad::writeOnce(bool discreteBit)
{
    const QList<WrittenItem> items = writtenItems();
    QList<DataItem> entries;
    QList<int> itemOfEntry;
    QList<quint16> values;
    for (int i = 0; i < items.size(); ++i) {
        quint16 value = discreteBit ? 1 : 0;
        if (!items[i].discrete && !m_ledger.nextValue(i, &value)) {
            continue; // its sequence is used up
        }
        entries.append(kib_requests::entry(
            kib_requests::memoryItem(itemLabel(items[i].addressClass, items[i].address),
                                     items[i].addressClass, QString::number(items[i].address),
                                     kib_requests::Unsigned),
            QString::number(value)));
        itemOfEntry.append(i);
        values.append(value);
    }
    LogList log = request(entries);
    const Clock::time_point start = Clock::now();
    m_plugin->writeData(&log);
    noteCallTime(start, Clock::now());
    // Every entry says what became of it: one without an error was acknowledged, even when a
    // later entry found the connection broken, and the audit finds it lost should the module not
    // have carried it out.
    for (int e = 0; e < log.items.size(); ++e) {
        const QString& error = log.items[e].item.errorText;
        const WriteOutcome outcome = error.isEmpty() ? WriteOutcome::Written
                                     : error.startsWith(QLatin1String("Not confirmed: "))
                                         ? WriteOutcome::NotConfirmed
                                         : WriteOutcome::Failed;
        m_ledger.record(itemOfEntry[e], values[e], outcome);
    }
}

void DeviceLoad::faultEnded(FaultKind kind)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto awaited = m_awaited.begin(); awaited != m_awaited.end();) {
        if (!awaited->stage) { // the device never came back from the fault before
            m_recoveries.push_back({awaited->kind, nullptr, kNeverRecovered});
            awaited = m_awaited.erase(awaited);
        } else {
            ++awaited;
        }
    }
    m_awaited.push_back({kind, nullptr, Clock::now()});
}

void DeviceLoad::stageEnded(FaultKind kind, const char* stage)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_awaited.push_back({kind, stage, Clock::now()});
}

void DeviceLoad::stageInterrupted(FaultKind kind, const char* stage)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto awaited = m_awaited.begin(); awaited != m_awaited.end();) {
        if (awaited->kind == kind && awaited->stage == stage) {
            m_recoveries.push_back({kind, stage, kNeverRecovered});
            awaited = m_awaited.erase(awaited);
        } else {
            ++awaited;
        }
    }
}

std::vector<Recovery> DeviceLoad::recoveries() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<Recovery> recoveries = m_recoveries;
    for (const Awaited& awaited : m_awaited) {
        recoveries.push_back({awaited.kind, awaited.stage, kNeverRecovered});
    }
    return recoveries;
}

void DeviceLoad::noteCallTime(Clock::time_point start, Clock::time_point end)
{
    const qint64 ms = msBetween(start, end);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_callTimes.longestMs = std::max(m_callTimes.longestMs, ms);
    m_callTimes.ofASecond += ms >= kCallOfASecondMs ? 1 : 0;
}

CallTimes DeviceLoad::takeCallTimes()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::exchange(m_callTimes, CallTimes());
}

void DeviceLoad::noteFinding(const QString& finding)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_findings.size() < kMostFindingsKept) {
        m_findings.append(finding);
    }
}

QStringList DeviceLoad::findings() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_findings;
}

} // namespace soak
