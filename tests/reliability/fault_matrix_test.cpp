// The fault matrix: every fault the simulated PLC can inject, plus a refused connection and an
// unreachable address, crossed with everything the plugin does on the wire (a poll, a write of
// each type, an identity poll) and with the discovery probe. Each cell says what the host sees
// (return value, device and item error texts, whether the value arrived), how many connections
// are left open at the PLC, and what the PLC's memory holds; then the fault is cleared and the
// next call must recover. The plugin is the real one, loaded with QPluginLoader, over real TCP.

#include <QRegularExpression>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <thread>

#include "camp_discovery.h"
#include "hostconfig.h"
#include "network_namespace.h"
#include "plugin_loader.h"
#include "plugin_requests.h"
#include "simulated_plc.h"

namespace {

using namespace camp_sim;
using kib_test::deviceRequest;
using kib_test::entry;
using kib_test::memoryItem;
using kib_test::valueOf;

// Short enough that a time-out costs little, long enough for any reply on a loaded machine.
constexpr int kTimeoutMs = 300;
constexpr int kLatencyMs = 1000; // "beyond the time-out"
constexpr int kDeviceId = 7;
constexpr quint16 kSerial = 812;

enum Op {
    Poll,
    WriteBit,
    WriteInteger,
    WriteUnsigned,
    WriteFloat,
    WriteString,
    WriteDiscrete,
    IdentityPoll,
    Probe,
    kOpCount
};
const char* const kOpNames[kOpCount] = {"poll",           "write Bit",     "write Integer",
                                        "write Unsigned", "write Float",   "write String",
                                        "write X/Y/C",    "identity poll", "discovery probe"};

// One cell. Texts are patterns for the whole text; "" means the text stays empty.
struct Outcome
{
    bool returns;            // the call's return value; for the probe: a CAMP device was seen
    const char* deviceError; // the device's error text
    const char* itemErrors;  // the items' error texts, joined with ";"
    bool delivered; // poll: first value; write: new value in memory; identity/probe: serial
    int openAfter;  // connections left open at the PLC
};

Outcome ok()
{
    return {true, "", "", true, 1};
}
// The call completed, but the PLC dropped the connection after its last answer.
Outcome okThenClosed()
{
    return {true, "", "", true, 0};
}
Outcome lost(const char* deviceError, bool delivered = false)
{
    return {false, deviceError, "", delivered, 0};
}
Outcome itemFailed(const char* itemErrors)
{
    return {true, "", itemErrors, false, 1};
}
// A poll where the first item got its value and a later one an error.
Outcome partly(const char* itemErrors)
{
    return {true, "", itemErrors, true, 1};
}
// A poll whose identity read failed: no identity values, no error, the poll goes on.
Outcome noIdentity(int openAfter = 1)
{
    return {true, "", "", false, openAfter};
}
Outcome found(bool serial)
{
    return {true, "", "", serial, 0};
}
Outcome notFound()
{
    return {false, "", "", false, 0};
}

// Texts of the device error, by what the plugin was doing.
#define READING " while reading a response from the PLC"
#define WRITE_REPLY " while reading a write response from the PLC"
#define SENDING_OR_READING " while (sending a read command to|reading a response from) the PLC"
#define SENDING_OR_WRITE_REPLY                                                                     \
    " while (sending a write command to|reading a write response from) the PLC"
#define CLOSED_OR_RESET "PLC (closed|reset) the connection"
#define REFUSED "Couldn't connect to 127\\.0\\.0\\.1:[0-9]+"
#define UNREACHABLE "Couldn't connect to 10\\.77\\.8\\.2:4450"
const char kPlcError[] = "Error code: 0292 Extended code: 0000";

struct Row
{
    const char* name;
    std::function<void(Faults&)> fault; // null: the PLC is not there
    Outcome cells[kOpCount];
};

const Row kRows[] = {
    {"latency_beyond_timeout",
     [](Faults& f) { f.latencyMs = kLatencyMs; },
     {lost("Timed out" READING), lost("Timed out" WRITE_REPLY, true),
      lost("Timed out" WRITE_REPLY, true), lost("Timed out" WRITE_REPLY, true),
      lost("Timed out" WRITE_REPLY, true), lost("Timed out" WRITE_REPLY, true),
      lost("Timed out" READING), noIdentity(), notFound()}},
    {"one_byte_pieces",
     [](Faults& f) {
         f.chunkBytes = 1;
         f.chunkPauseMs = 1;
     },
     {ok(), ok(), ok(), ok(), ok(), ok(), ok(), ok(), found(true)}},
    {"junk_before_reply",
     [](Faults& f) { f.junkBeforeReply = "garbage]\r\n"; },
     {ok(), ok(), ok(), ok(), ok(), ok(), ok(), ok(), found(true)}},
    {"silence",
     [](Faults& f) { f.silent = true; },
     {lost("Timed out" READING), lost("Timed out" WRITE_REPLY), lost("Timed out" WRITE_REPLY),
      lost("Timed out" WRITE_REPLY), lost("Timed out" WRITE_REPLY), lost("Timed out" WRITE_REPLY),
      lost("Timed out" READING), noIdentity(), notFound()}},
    // One answer, then the PLC hangs up: the read of a discrete write's word is the one answer.
    {"close_after_one_request",
     [](Faults& f) { f.closeAfterRequests = 1; },
     {okThenClosed(), okThenClosed(), okThenClosed(), okThenClosed(), okThenClosed(),
      okThenClosed(), lost(CLOSED_OR_RESET SENDING_OR_WRITE_REPLY), okThenClosed(), found(false)}},
    {"close_mid_reply",
     [](Faults& f) { f.closeMidReply = true; },
     {lost("PLC closed the connection" READING),
      lost("PLC closed the connection" WRITE_REPLY, true),
      lost("PLC closed the connection" WRITE_REPLY, true),
      lost("PLC closed the connection" WRITE_REPLY, true),
      lost("PLC closed the connection" WRITE_REPLY, true),
      lost("PLC closed the connection" WRITE_REPLY, true),
      lost("PLC closed the connection" READING), noIdentity(), notFound()}},
    // Read replies carry one word: enough for the Integer, not for the Float behind it.
    {"short_reply",
     [](Faults& f) { f.shortReplyWords = 1; },
     {partly(";Error reading response"), ok(), ok(), ok(), ok(), ok(), ok(), noIdentity(),
      found(false)}},
    {"error_reply",
     [](Faults& f) {
         for (quint32 address : {1u, 100u, 101u, 102u, 200u, 201u, 202u, 203u, 210u}) {
             f.errorAddresses.append({kClassV, address});
         }
         f.errorAddresses.append({kClassY, 5});
         f.errorAddresses.append({kClassSTW, 259});
     },
     // A block's error reply names the block's first item; the others get nothing.
     {itemFailed("Error code: 0292 Extended code: 0000;"), itemFailed(kPlcError),
      itemFailed(kPlcError), itemFailed(kPlcError), itemFailed(kPlcError), itemFailed(kPlcError),
      itemFailed(kPlcError), noIdentity(), found(false)}},
    {"endless_stream",
     [](Faults& f) { f.endlessStream = true; },
     {lost("Lost connection to PLC" READING), lost("Lost connection to PLC" READING),
      lost("Lost connection to PLC" READING), lost("Lost connection to PLC" READING),
      lost("Lost connection to PLC" READING), lost("Lost connection to PLC" READING),
      lost("Lost connection to PLC" READING), noIdentity(), notFound()}},
    {"accept_and_close",
     [](Faults& f) { f.acceptAndClose = true; },
     {lost(CLOSED_OR_RESET SENDING_OR_READING), lost(CLOSED_OR_RESET SENDING_OR_WRITE_REPLY),
      lost(CLOSED_OR_RESET SENDING_OR_WRITE_REPLY), lost(CLOSED_OR_RESET SENDING_OR_WRITE_REPLY),
      lost(CLOSED_OR_RESET SENDING_OR_WRITE_REPLY), lost(CLOSED_OR_RESET SENDING_OR_WRITE_REPLY),
      lost(CLOSED_OR_RESET SENDING_OR_READING), noIdentity(0), notFound()}},
    {"refused_connection",
     nullptr,
     {lost(REFUSED), lost(REFUSED), lost(REFUSED), lost(REFUSED), lost(REFUSED), lost(REFUSED),
      lost(REFUSED), lost(REFUSED), notFound()}},
    {"unreachable_address",
     nullptr,
     {lost(UNREACHABLE), lost(UNREACHABLE), lost(UNREACHABLE), lost(UNREACHABLE), lost(UNREACHABLE),
      lost(UNREACHABLE), lost(UNREACHABLE), lost(UNREACHABLE), notFound()}},
};

// ---- what each operation sends and expects --------------------------------------------------

struct Word
{
    int addressClass;
    quint32 address;
    quint16 value;
};

// A write: the item, the value written in the faulted call and in the recovery call, and the
// words each leaves in memory. Old words are what the PLC holds before.
struct WriteCase
{
    int addressClass;
    const char* addressWord;
    int dataType;
    const char* firstValue;
    const char* secondValue;
    QList<quint16> oldWords;
    QList<quint16> firstWords;
    QList<quint16> secondWords;
};

const WriteCase& writeCase(Op op)
{
    static const WriteCase cases[] = {
        {kClassV, "200", 0, "1", "0", {5}, {1}, {0}},
        {kClassV, "201", 1, "-2", "300", {7}, {0xFFFE}, {0x012C}},
        {kClassV, "202", 2, "65535", "4660", {8}, {0xFFFF}, {0x1234}},
        {kClassV, "203", 3, "1.5", "-2.5", {0x1111, 0x2222}, {0x3FC0, 0}, {0xC020, 0}},
        {kClassV,
         "210-213",
         4,
         "PRESS",
         "OK",
         {0x4F4C, 0x4420, 0x5445, 0x5854},
         {0x5052, 0x4553, 0x5300, 0},
         {0x4F4B, 0, 0, 0}},
        // Only bit 0 of the word changes.
        {kClassY, "5", 0, "1", "1", {0x00F0}, {0x00F1}, {0x00F1}},
    };
    return cases[op - WriteBit];
}

bool isWrite(Op op)
{
    return op >= WriteBit && op <= WriteDiscrete;
}

// The words every cell starts from; the memory check compares all of them.
QList<Word> startingMemory()
{
    QList<Word> words = {{kClassV, 1, 0x0042},   {kClassV, 100, 0x1234}, {kClassV, 101, 0x3FC0},
                         {kClassV, 102, 0x0000}, {kClassY, 4, 0x00F0},   {kClassY, 6, 0x00F0}};
    for (int op = WriteBit; op <= WriteDiscrete; ++op) {
        const WriteCase& c = writeCase(Op(op));
        const quint32 start = QString::fromLatin1(c.addressWord).section('-', 0, 0).toUInt();
        for (int i = 0; i < c.oldWords.size(); ++i) {
            words.append({c.addressClass, start + quint32(i), c.oldWords[i]});
        }
    }
    return words;
}

// The memory a cell should leave: the starting words, with the write's words where it landed.
QList<Word> expectedMemory(Op op, const QList<quint16>* written)
{
    QList<Word> words = startingMemory();
    if (!isWrite(op) || !written) {
        return words;
    }
    const WriteCase& c = writeCase(op);
    const quint32 start = QString::fromLatin1(c.addressWord).section('-', 0, 0).toUInt();
    for (Word& word : words) {
        if (word.addressClass == c.addressClass && word.address >= start &&
            word.address < start + quint32(written->size())) {
            word.value = (*written)[int(word.address - start)];
        }
    }
    return words;
}

void fillMemory(SimulatedPlc& plc)
{
    for (const Word& word : startingMemory()) {
        plc.setWord(word.addressClass, word.address, word.value);
    }
}

// Everything that differs from what the PLC should hold, or empty.
QString memoryDifferences(const SimulatedPlc& plc, const QList<Word>& expected)
{
    QString differences;
    for (const Word& word : expected) {
        const quint16 actual = plc.word(word.addressClass, word.address);
        if (actual != word.value) {
            differences += QStringLiteral("class %1 word %2 holds %3, expected %4; ")
                               .arg(word.addressClass)
                               .arg(word.address)
                               .arg(actual, 4, 16, QLatin1Char('0'))
                               .arg(word.value, 4, 16, QLatin1Char('0'));
        }
    }
    return differences;
}

// What one call gave the host.
struct Observed
{
    bool returned = false;
    QString deviceError;
    QString itemErrors;
    bool valueArrived = false; // poll, identity poll and probe
};

struct Target
{
    QString host;
    quint16 port = 0;
};

Observed call(KIBInterface* plugin, Op op, const Target& target, bool recovery)
{
    Observed seen;
    if (op == Probe) {
        CampDiscovery::QtTransport transport;
        const CampDiscovery::IdentifyResult result = transport.tcpIdentify(
            target.host, target.port, CampDiscovery::kTcpConnectTimeoutMs, kTimeoutMs);
        seen.returned = result.campReply;
        seen.valueArrived = result.serial == QString::number(kSerial);
        return seen;
    }

    QList<DataItem> items;
    if (op == Poll) {
        items = {entry(memoryItem("v100", kClassV, "100", kib_test::Integer)),
                 entry(memoryItem("v101", kClassV, "101", kib_test::Float))};
    } else if (op == IdentityPoll) {
        items = {entry(memoryItem(QStringLiteral("identity_%1_serial").arg(kDeviceId), kClassSTW,
                                  "__identity.serial", kib_test::String))};
    } else {
        const WriteCase& c = writeCase(op);
        items = {
            entry(memoryItem("w", c.addressClass, QString::fromLatin1(c.addressWord), c.dataType),
                  QString::fromLatin1(recovery ? c.secondValue : c.firstValue))};
    }
    LogList log = deviceRequest(kDeviceId, QStringLiteral("press"), target.host, target.port,
                                kTimeoutMs, items);

    seen.returned = isWrite(op) ? plugin->writeData(&log) : plugin->readData(&log);
    seen.deviceError = log.errorText;
    QStringList errors;
    for (const DataItem& entry : log.items) {
        errors.append(entry.item.errorText);
    }
    // No error on any item reads as no error at all.
    if (!errors.join(QString()).isEmpty()) {
        seen.itemErrors = errors.join(QLatin1Char(';'));
    }
    const QString value = valueOf(log.items.first());
    if (op == Poll) {
        seen.valueArrived = value == QLatin1String("4660");
    }
    if (op == IdentityPoll) {
        seen.valueArrived = value == QString::number(kSerial);
    }
    return seen;
}

bool matches(const char* pattern, const QString& text)
{
    if (!*pattern) {
        return text.isEmpty();
    }
    const QRegularExpression expression(
        QRegularExpression::anchoredPattern(QString::fromLatin1(pattern)));
    return expression.match(text).hasMatch();
}

// ---- the network outside the PLC: a port nobody listens on, an address nobody has ------------

// A loopback port that refuses connections: bound, never listening. The simulator may later
// take the same port (both sockets allow address reuse), as a PLC that comes back.
class RefusingPort
{
public:
    RefusingPort()
    {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int reuse = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            port = ntohs(address.sin_port);
        }
    }
    ~RefusingPort() { ::close(fd); }
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;

    int fd = -1;
    quint16 port = 0;
};

// A private network namespace with one quiet interface on 10.77.8.1/24, where 10.77.8.2 is an
// address nobody answers for until the PLC comes back on it. Only the thread that enters it is
// inside.
class QuietSubnet
{
public:
    // Why the subnet cannot be had, or empty when it is ready.
    QString create()
    {
        const QString reason = ns.create();
        if (!reason.isEmpty()) {
            return QStringLiteral("the unreachable-address row: ") + reason;
        }
        if (!ns.addQuietInterface(kInterface) || !ns.addAddress(kInterface, "10.77.8.1/24")) {
            return QStringLiteral("cannot set up the namespace's interface");
        }
        return QString();
    }

    bool enter() { return ns.enter(); }
    void leave() { ns.leave(); }

    // The unreachable address comes up (the PLC is back), and goes again.
    bool bringUpTarget() { return ns.addAddress(kInterface, kTarget); }
    bool takeDownTarget() { return ns.removeAddress(kInterface, kTarget); }

private:
    static constexpr char kInterface[] = "quiet0";
    static constexpr char kTarget[] = "10.77.8.2/24";
    kib_test::NetworkNamespace ns{kib_test::NetworkNamespace::uniqueName("kib_reliability")};
};

// Waits until a PLC that accepts and closes has closed the plugin's `connections`. The PLC counts
// a connection just before it closes it, and handles one at a time: once it has counted one more
// of our own, it has closed all of the plugin's.
bool acceptedAndClosed(const SimulatedPlc& plc, int connections)
{
    if (!plc.waitForConnections(connections)) {
        return false;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(plc.port());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected =
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    const bool closed = connected && plc.waitForConnections(connections + 1);
    ::close(fd);
    return closed;
}

// ---- the matrix ---------------------------------------------------------------------------------

class FaultMatrix : public ::testing::TestWithParam<int>
{
protected:
    void SetUp() override
    {
        HostConfig::instance().reset();
        plugin = loadPlugin();
        ASSERT_NE(plugin, nullptr) << pluginLoader().errorString().toStdString();
    }

    static PlcConfig plcConfig()
    {
        PlcConfig config;
        config.serial = kSerial;
        config.firmwareMajor = 4;
        config.firmwareMinor = 10;
        return config;
    }

    // One cell: the faulted call, its checks, then the recovery call and its checks.
    // `plcOnCall` is the PLC while the fault is on (null when there is none); `bringBack`
    // clears the fault and returns the PLC the recovery call talks to.
    void runCell(Op op, const Row& row, const Target& target, SimulatedPlc* plcOnCall,
                 const std::function<SimulatedPlc*()>& bringBack)
    {
        SCOPED_TRACE(std::string(row.name) + " x " + kOpNames[op]);
        const Outcome& want = row.cells[op];
        plugin->stopPlugin(); // every cell starts without a connection

        const Observed seen = call(plugin, op, target, false);
        EXPECT_EQ(seen.returned, want.returns);
        EXPECT_TRUE(matches(want.deviceError, seen.deviceError))
            << "device error: " << seen.deviceError.toStdString();
        if (op != Probe) {
            EXPECT_TRUE(matches(want.itemErrors, seen.itemErrors))
                << "item errors: " << seen.itemErrors.toStdString();
        }
        if (!isWrite(op)) {
            EXPECT_EQ(seen.valueArrived, want.delivered);
        }
        if (plcOnCall) {
            // The PLC's side of the connection settles on what the cell says (a wait, not a
            // deadline: a delayed reply keeps the PLC busy until its delay is over).
            EXPECT_TRUE(plcOnCall->waitForOpenConnections(want.openAfter, 10000))
                << "open connections at the PLC: " << plcOnCall->openConnections();
            const QList<quint16>& first = isWrite(op) ? writeCase(op).firstWords : QList<quint16>();
            const QString differences = memoryDifferences(
                *plcOnCall, expectedMemory(op, want.delivered ? &first : nullptr));
            EXPECT_TRUE(differences.isEmpty()) << differences.toStdString();
        }

        // The fault is gone: the very next call works.
        SimulatedPlc* plc = bringBack();
        ASSERT_NE(plc, nullptr);
        fillMemory(*plc);
        const Observed again = call(plugin, op, target, true);
        EXPECT_TRUE(again.returned) << "no recovery";
        EXPECT_EQ(again.deviceError, QString());
        EXPECT_EQ(again.itemErrors, QString());
        if (!isWrite(op)) {
            EXPECT_TRUE(again.valueArrived);
        }
        const QList<quint16>& second = isWrite(op) ? writeCase(op).secondWords : QList<quint16>();
        const QString differences =
            memoryDifferences(*plc, expectedMemory(op, isWrite(op) ? &second : nullptr));
        EXPECT_TRUE(differences.isEmpty()) << "after recovery: " << differences.toStdString();
        plugin->stopPlugin();
        EXPECT_TRUE(plc->waitForOpenConnections(0)) << "a connection outlived stopPlugin()";
    }

    // Faults the simulator injects: a fresh PLC per cell.
    void runSimulatorRow(const Row& row)
    {
        for (int op = 0; op < kOpCount; ++op) {
            SimulatedPlc plc(plcConfig());
            ASSERT_TRUE(plc.start()) << plc.lastError().toStdString();
            fillMemory(plc);
            Faults faults;
            row.fault(faults);
            plc.setFaults(faults);
            const Target target{QStringLiteral("127.0.0.1"), plc.port()};
            runCell(Op(op), row, target, &plc, [&plc, &faults, op]() -> SimulatedPlc* {
                if (faults.acceptAndClose && !acceptedAndClosed(plc, op == IdentityPoll ? 2 : 1)) {
                    return nullptr;
                }
                plc.setFaults(Faults());
                return &plc;
            });
        }
    }

    void runRefusedRow(const Row& row)
    {
        for (int op = 0; op < kOpCount; ++op) {
            RefusingPort refusing;
            ASSERT_NE(refusing.port, 0);
            const Target target{QStringLiteral("127.0.0.1"), refusing.port};
            SimulatedPlc plc(plcConfig());
            runCell(Op(op), row, target, nullptr, [&]() -> SimulatedPlc* {
                return plc.start(target.host, target.port) ? &plc : nullptr;
            });
        }
    }

    void runUnreachableRow(const Row& row)
    {
        QuietSubnet subnet;
        const QString unavailable = subnet.create();
        if (!unavailable.isEmpty()) {
            GTEST_SKIP() << unavailable.toStdString();
        }
        // Inside the namespace, in a thread of its own so that the rest of the process stays out.
        // The namespace is ours alone, so the module's own port 4450 is free there.
        bool entered = false;
        std::thread inside([&] {
            entered = subnet.enter();
            if (entered) {
                runUnreachableCells(row, subnet);
            }
            subnet.leave();
        });
        inside.join();
        ASSERT_TRUE(entered) << "cannot enter the namespace";
    }

    // Every cell against an address of the subnet, from a thread inside it.
    void runUnreachableCells(const Row& row, QuietSubnet& subnet)
    {
        const Target target{QStringLiteral("10.77.8.2"), 4450};
        bool targetUp = false;
        for (int op = 0; op < kOpCount; ++op) {
            SimulatedPlc plc(plcConfig());
            runCell(Op(op), row, target, nullptr, [&]() -> SimulatedPlc* {
                if (!targetUp) {
                    targetUp = subnet.bringUpTarget();
                }
                return targetUp && plc.start(target.host, target.port) ? &plc : nullptr;
            });
            plc.stop();
            if (targetUp && !subnet.takeDownTarget()) {
                return;
            }
            targetUp = false;
        }
    }

    KIBInterface* plugin = nullptr;
};

TEST_P(FaultMatrix, EveryOperation)
{
    const Row& row = kRows[GetParam()];
    if (QLatin1String(row.name) == QLatin1String("refused_connection")) {
        runRefusedRow(row);
    } else if (QLatin1String(row.name) == QLatin1String("unreachable_address")) {
        runUnreachableRow(row);
    } else {
        runSimulatorRow(row);
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultMatrix,
                         ::testing::Range(0, int(sizeof kRows / sizeof kRows[0])),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(kRows[info.param].name);
                         });

} // namespace
