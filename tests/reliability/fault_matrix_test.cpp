// What the host sees when the wire fails: every fault the simulated PLC can inject, a refused
// connection and an unreachable address, against everything the loaded plugin does on the wire
// (a poll, a write of one word and of several, a write of a discrete item, an identity poll).
// Each cell says what the host sees, how many connections stay open at the PLC and what its
// memory holds; then the fault is cleared and the very next call must work. The plugin is the
// real one, loaded with QPluginLoader, over real TCP; the discovery probe meets the same faults
// in tests/discovery.

#include <QRegularExpression>
#include <QTcpSocket>
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <thread>

#include "hostconfig.h"
#include "kib_requests.h"
#include "network_namespace.h"
#include "open_descriptors.h"
#include "plugin_loader.h"
#include "simulated_plc.h"

namespace {

using namespace camp_sim;
using namespace kib_requests;

// Short enough that a time-out costs little, long enough for any reply on a loaded machine.
constexpr int kTimeoutMs = 300;
constexpr int kDeviceId = 7;
constexpr quint16 kSerial = 812;

enum Op { Poll, WriteWord, WriteWords, WriteDiscrete, IdentityPoll, kOps };
const char* const kOpNames[kOps] = {"poll", "write Integer", "write String", "write X/Y/C",
                                    "identity poll"};

// What a write sends: the item, the value under the fault and after it, and the words the item
// holds before, after the first value and after the second. X, Y and C change only bit 0.
struct WriteCase
{
    int addressClass;
    const char* words;
    int dataType;
    const char* values[2];
    QList<quint16> before, after[2];
};
const WriteCase kWrites[] = {
    {kClassV, "201", Integer, {"-2", "300"}, {7}, {{0xFFFE}, {0x012C}}},
    {kClassV, "210-213", String, {"P", "OK"}, {1, 2, 3, 4}, {{0x5000, 0, 0, 0}, {0x4F4B, 0, 0, 0}}},
    {kClassY, "5", Bit, {"1", "1"}, {0x00F0}, {{0x00F1}, {0x00F1}}},
};
const WriteCase* writeCase(Op op)
{
    return op >= WriteWord && op <= WriteDiscrete ? &kWrites[op - WriteWord] : nullptr;
}

// A row: a fault (none: nobody listens) and one letter per operation for what the host sees.
//   o  it works: true, no error, the value arrived, the connection stays open
//   c  the same, but the PLC hangs up after its answer
//   r  the connection is lost: "<text> while reading a response from the PLC"
//   w  the same "while reading a write response"; W: and yet the PLC carried the write out
//   s  the same "while (sending a read command to|reading a response from)", S: a write command
//   x  no connection: the device error is the text
//   e  every item gets the text as its error; p: the first value arrives, the second item's doesn't
//   i  the identity read fails: no value, the text as the item's error; I: and the PLC hung up
// A device error also lands on every item: a poll's get it as it is, a write's entry after "Not
// written: " or "Not confirmed: " (its command went out, but no reply came).
struct Row
{
    const char* name;
    const char* cells; // poll, write Integer, write String, write X/Y/C, identity poll
    const char* text;
    void (*fault)(Faults&);
};
#define CLOSED_OR_RESET "PLC (closed|reset) the connection"
const Row kRows[] = {
    {"latency_beyond_timeout", "rWWrr", "Timed out", [](Faults& f) { f.latencyMs = 1000; }},
    {"one_byte_pieces", "ooooo", "",
     [](Faults& f) {
         f.chunkBytes = 1;
         f.chunkPauseMs = 1;
     }},
    {"junk_before_reply", "ooooo", "", [](Faults& f) { f.junkBeforeReply = "garbage]\r\n"; }},
    {"silence", "rwwrr", "Timed out", [](Faults& f) { f.silent = true; }},
    // One answer, then the PLC hangs up: the read of a discrete write's word is the one answer.
    {"close_after_one_request", "cccSc", CLOSED_OR_RESET,
     [](Faults& f) { f.closeAfterRequests = 1; }},
    {"close_mid_reply", "rWWri", "PLC closed the connection",
     [](Faults& f) { f.closeMidReply = true; }},
    // Read replies carry one word: enough for the Integer, not for the Float behind it.
    {"short_reply", "poooi", "Error reading response", [](Faults& f) { f.shortReplyWords = 1; }},
    {"error_reply", "eeeei", "Error code: 0292 Extended code: 0000",
     [](Faults& f) {
         f.errorAddresses = {{kClassV, 100}, {kClassV, 101}, {kClassV, 201},
                             {kClassV, 210}, {kClassY, 5},   {kClassSTW, 259}};
     }},
    {"endless_stream", "rrrri", "Lost connection to PLC",
     [](Faults& f) { f.endlessStream = true; }},
    {"accept_and_close", "sSSsI", CLOSED_OR_RESET, [](Faults& f) { f.acceptAndClose = true; }},
    {"refused_connection", "xxxxx",
     "Couldn't connect to 127\\.0\\.0\\.1:[0-9]+: connection refused", nullptr},
    {"unreachable_address", "xxxxx",
     "Couldn't connect to 10\\.77\\.8\\.2:4450: timed out after [0-9]+ ms", nullptr},
};

// What one call showed the host, or what a cell expects it to show (texts as patterns).
struct Seen
{
    bool returned = false;
    QString deviceError;
    QStringList itemErrors;
    bool valueArrived = false; // a poll: the value; a write: it landed
    int openAfter = 0;         // connections left open at the PLC
};

Seen expected(const Row& row, Op op)
{
    const char cell = row.cells[op];
    const QString text = QString::fromLatin1(row.text);
    Seen want;
    want.returned = QByteArray("ocepiI").contains(cell);
    want.valueArrived = QByteArray("ocpW").contains(cell);
    want.openAfter = QByteArray("oepi").contains(cell) ? 1 : 0;
    want.itemErrors = op == Poll ? QStringList{QString(), QString()} : QStringList{QString()};
    const QByteArray letters = "rwWsS";
    const char* const activities[] = {"reading a response from", "reading a write response from",
                                      "reading a write response from",
                                      "(sending a read command to|reading a response from)",
                                      "(sending a write command to|reading a write response from)"};
    // What a write entry says when the device fails: whether its command went out (an X, Y or C
    // write whose read failed never sends it).
    const char* const writeOutcomes[] = {
        op == WriteDiscrete ? "Not written: " : "Not confirmed: ", "Not confirmed: ",
        "Not confirmed: ", "Not written: ", "Not (written|confirmed): "};
    if (letters.contains(cell)) {
        want.deviceError = text + " while " + activities[letters.indexOf(cell)] + " the PLC";
    } else if (cell == 'x') {
        want.deviceError = text;
    }
    // No item is left silent: when the device fails, each says why it has no value.
    for (int i = 0; i < want.itemErrors.size(); ++i) {
        QString& error = want.itemErrors[i];
        if (!want.deviceError.isEmpty()) {
            const int letter = letters.indexOf(cell);
            const QString outcome = letter < 0 ? "Not written: " : writeOutcomes[letter];
            error = writeCase(op) ? outcome + want.deviceError : want.deviceError;
        } else if (cell == 'e' || (cell == 'p' && i == 1)) {
            error = text;
        } else if (cell == 'i' || cell == 'I') {
            error = text + ".*"; // what the identity read met, and where
        }
    }
    return want;
}

// The words every cell watches (the items' and their neighbours') as they must be after a call
// of `op` whose value `landed` (-1: none did, or no write), and as the PLC holds them.
using Memory = std::map<std::pair<int, quint32>, int>;
Memory watched(Op op = Poll, int landed = -1)
{
    Memory memory = {{{kClassV, 100}, 0x1234}, {{kClassV, 101}, 0x3FC0}, {{kClassV, 102}, 0x0000},
                     {{kClassV, 200}, 0x0005}, {{kClassV, 202}, 0x0008}, {{kClassV, 214}, 0x4142},
                     {{kClassY, 4}, 0x00F0},   {{kClassY, 6}, 0x00F0}};
    for (const WriteCase& write : kWrites) {
        const bool wrote = &write == writeCase(op) && landed >= 0;
        const QList<quint16>& words = wrote ? write.after[landed] : write.before;
        for (int i = 0; i < words.size(); ++i) {
            memory[{write.addressClass, quint32(std::atoi(write.words) + i)}] = words[i];
        }
    }
    return memory;
}
Memory held(const SimulatedPlc& plc)
{
    Memory memory = watched();
    for (auto& word : memory) {
        word.second = plc.word(word.first.first, word.first.second);
    }
    return memory;
}
void fill(SimulatedPlc& plc)
{
    for (const auto& word : watched()) {
        plc.setWord(word.first.first, word.first.second, quint16(word.second));
    }
}

// One call of the operation; `second` picks the value a write sends.
Seen call(KIBInterface* plugin, Op op, const QString& host, quint16 port, int second)
{
    Seen seen;
    QList<DataItem> items;
    if (op == Poll) {
        items = {entry(memoryItem("v100", kClassV, "100", Integer)),
                 entry(memoryItem("v101", kClassV, "101", Float))};
    } else if (op == IdentityPoll) {
        items = {entry(memoryItem(QStringLiteral("identity_%1_serial").arg(kDeviceId), kClassSTW,
                                  "__identity.serial", String))};
    } else {
        const WriteCase& w = *writeCase(op);
        items = {entry(memoryItem("w", w.addressClass, w.words, w.dataType), w.values[second])};
    }
    LogList log = deviceRequest(kDeviceId, QStringLiteral("press"), host, port, kTimeoutMs, items);
    seen.returned = writeCase(op) ? plugin->writeData(&log) : plugin->readData(&log);
    seen.deviceError = log.errorText;
    for (const DataItem& item : log.items) {
        seen.itemErrors.append(item.item.errorText);
    }
    const QString value = valueOf(log.items.first());
    seen.valueArrived = value == (op == Poll ? QStringLiteral("4660") : QString::number(kSerial));
    return seen;
}

bool matches(const QString& pattern, const QString& text)
{
    return QRegularExpression(QRegularExpression::anchoredPattern(pattern)).match(text).hasMatch();
}

class FaultMatrix : public ::testing::TestWithParam<int>
{
protected:
    void SetUp() override
    {
        HostConfig::instance().reset();
        plugin = loadPlugin();
        ASSERT_NE(plugin, nullptr) << pluginLoader().errorString().toStdString();
    }

    // Every cell of a row against `host`: with a fault, a fresh PLC that injects it; without,
    // nobody listens (a loopback port bound and never listening, or in `ns` an address nobody
    // has) and the PLC comes up there after the faulted call.
    void runRow(const Row& row, const QString& host, NetworkNamespace* ns)
    {
        const PlcConfig config{kSerial, 4, 10, {}};
        int descriptors = -1; // open after the first cell, once what opens on first use is open
        for (int op = 0; op < kOps; ++op) {
            SCOPED_TRACE(std::string(row.name) + " x " + kOpNames[op]);
            const Seen want = expected(row, Op(op));
            SimulatedPlc plc(config);
            quint16 port = 4450;
            QTcpSocket refusing; // bound, never listening: it refuses, and keeps the port ours
            Faults faults;
            if (row.fault) {
                ASSERT_TRUE(plc.start(host, 0)) << plc.lastError().toStdString();
                port = plc.port();
                fill(plc);
                row.fault(faults);
                plc.setFaults(faults);
            } else if (!ns) {
                // The PLC takes the same port when it comes back (both allow address reuse).
                ASSERT_TRUE(refusing.bind(QHostAddress::LocalHost, 0, QTcpSocket::ShareAddress));
                port = refusing.localPort();
            }

            plugin->stopPlugin(); // every cell starts without a connection
            const Seen seen = call(plugin, Op(op), host, port, 0);
            EXPECT_EQ(want.returned, seen.returned);
            EXPECT_TRUE(matches(want.deviceError, seen.deviceError))
                << "device error: " << seen.deviceError.toStdString();
            EXPECT_TRUE(matches(want.itemErrors.join(';'), seen.itemErrors.join(';')))
                << "item errors: " << seen.itemErrors.join(';').toStdString();
            EXPECT_TRUE(writeCase(Op(op)) || want.valueArrived == seen.valueArrived);
            if (row.fault) {
                // A wait, not a deadline: a delayed reply keeps the PLC busy until it is sent.
                EXPECT_TRUE(plc.waitForOpenConnections(want.openAfter, 10000))
                    << "open connections at the PLC: " << plc.openConnections();
                EXPECT_EQ(watched(Op(op), want.valueArrived ? 0 : -1), held(plc));
            }

            // The fault goes away. A PLC that accepts and closes handles one connection at a
            // time: once it has counted one more of ours, it has closed all of the plugin's.
            if (faults.acceptAndClose) {
                QTcpSocket ours;
                ours.connectToHost(QHostAddress::LocalHost, port);
                EXPECT_TRUE(plc.waitForConnections(op == IdentityPoll ? 3 : 2));
            }
            plc.setFaults(Faults());
            if (!row.fault) {
                ASSERT_TRUE(!ns || ns->addAddress(kQuiet, QStringLiteral("10.77.8.2/24")));
                ASSERT_TRUE(plc.start(host, port)) << plc.lastError().toStdString();
                fill(plc);
            }
            const Seen again = call(plugin, Op(op), host, port, 1);
            EXPECT_TRUE(again.returned) << "no recovery";
            EXPECT_EQ(QString(), again.deviceError + again.itemErrors.join(QString()));
            EXPECT_TRUE(writeCase(Op(op)) || again.valueArrived);
            EXPECT_EQ(watched(Op(op), 1), held(plc)) << "after recovery";
            plugin->stopPlugin();
            EXPECT_TRUE(plc.waitForOpenConnections(0)) << "a connection outlived stopPlugin()";
            plc.stop();
            ASSERT_TRUE(!ns || ns->removeAddress(kQuiet, QStringLiteral("10.77.8.2/24")));
            // No descriptor of the plugin's outlives the cell, whatever the fault did to it.
            EXPECT_TRUE(descriptors < 0 || openDescriptors() == descriptors)
                << openDescriptors() << " descriptors open, " << descriptors << " before";
            descriptors = descriptors < 0 ? openDescriptors() : descriptors;
        }
    }

    static constexpr char kQuiet[] = "quiet0";
    KIBInterface* plugin = nullptr;
};

TEST_P(FaultMatrix, EveryOperation)
{
    const Row& row = kRows[GetParam()];
    if (QByteArray(row.name) != "unreachable_address") {
        runRow(row, QStringLiteral("127.0.0.1"), nullptr);
        return;
    }
    // An address nobody has: 10.77.8.2 in a network namespace of the test's own, on an interface
    // that drops every packet. The cells run in a thread of their own inside it; the rest of the
    // process stays out. The namespace is ours alone, so the module's own port 4450 is free there.
    NetworkNamespace ns(NetworkNamespace::uniqueName(QStringLiteral("kib_reliability")));
    const QString unavailable = ns.create();
    if (!unavailable.isEmpty()) {
        GTEST_SKIP() << "the unreachable-address row: " << unavailable.toStdString();
    }
    ASSERT_TRUE(ns.addQuietInterface(kQuiet) && ns.addAddress(kQuiet, "10.77.8.1/24"));
    bool entered = false;
    std::thread inside([&] {
        entered = ns.enter();
        if (entered) {
            runRow(row, QStringLiteral("10.77.8.2"), &ns);
        }
        ns.leave();
    });
    inside.join();
    ASSERT_TRUE(entered) << "cannot enter the namespace";
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultMatrix,
                         ::testing::Range(0, int(sizeof kRows / sizeof kRows[0])),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(kRows[info.param].name);
                         });

} // namespace
