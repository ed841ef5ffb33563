// A value shown on the wrong item is worse than no value. These tests poll a simulated PLC whose
// every word tells where it lives, through the loaded plugin, while the module or the line answers
// the wrong request: a duplicated reply, a reply for another address, a read reply to a write, a
// broken digit. No value may ever land on an item other than its own, and once the faults stop the
// next poll must be whole.

#include "oracle_pattern.h"
#include "plugin_fixture.h"

using namespace plugin_test;

namespace {

struct OracleItem
{
    int addressClass;
    quint32 address;
};

// Oracle memory is the soak's pattern: a word's high byte tells its class and address, its low
// byte the generation, so a word read from anywhere else, or from an earlier generation, cannot
// pass for the right one. 26 one-word items in four blocks: V100-V114 (every other word),
// V140-V144, V200-V202 (each more than 16 words from the one before) and K10-K19.
QList<OracleItem> oracleItems()
{
    const struct
    {
        int addressClass;
        quint32 first, last, step;
    } runs[] = {{kClassV, 100, 114, 2},
                {kClassV, 140, 144, 1},
                {kClassV, 200, 202, 1},
                {kClassK, 10, 19, 1}};
    QList<OracleItem> items;
    for (const auto& run : runs) {
        for (quint32 address = run.first; address <= run.last; address += run.step) {
            items.append({run.addressClass, address});
        }
    }
    return items;
}

class ReplyIntegrity : public PluginTest
{
protected:
    void setGeneration(quint8 generation)
    {
        for (const OracleItem& item : oracleItems()) {
            plc->setWord(item.addressClass, item.address,
                         patternWord(item.addressClass, item.address, generation));
        }
    }

    LogList oraclePoll(int timeoutMs = 3000, int connections = 1) const
    {
        QList<DataItem> entries;
        for (const OracleItem& item : oracleItems()) {
            const QString uid = QStringLiteral("c%1_%2").arg(item.addressClass).arg(item.address);
            entries.append(
                entry(memoryItem(uid, item.addressClass, QString::number(item.address), Unsigned)));
        }
        LogList log = request(7, entries);
        log.columns.insert(QStringLiteral("timeout"), QString::number(timeoutMs));
        log.columns.insert(QStringLiteral("connections"), QString::number(connections));
        // Faults come and go from one poll to the next here: the device never goes off-scan.
        log.columns.insert(QStringLiteral("offscan_after"), QStringLiteral("0"));
        return log;
    }

    // Every value the poll gave is the word at its own item's address, of this generation, and
    // every item without a value says why. Returns the number of values given.
    int checkValues(const LogList& log, quint8 generation) const
    {
        const QList<OracleItem> items = oracleItems();
        int given = 0;
        for (int i = 0; i < log.items.size(); ++i) {
            if (!log.items[i].values.contains(QStringLiteral("value"))) {
                EXPECT_FALSE(log.items[i].item.errorText.isEmpty())
                    << "item " << log.items[i].item.uid.toStdString() << " left silent";
                continue;
            }
            ++given;
            const quint16 expected =
                patternWord(items[i].addressClass, items[i].address, generation);
            EXPECT_EQ(valueOf(log.items[i]), QString::number(expected))
                << "item " << log.items[i].item.uid.toStdString() << " generation "
                << int(generation);
        }
        return given;
    }

    // One oracle poll: true when it returned true and every item has its right value.
    bool pollIsWhole(quint8 generation, int connections = 1, int timeoutMs = 3000)
    {
        setGeneration(generation);
        LogList log = oraclePoll(timeoutMs, connections);
        bool whole = plugin->readData(&log) && checkValues(log, generation) == log.items.size();
        for (const DataItem& data : log.items) {
            whole = whole && data.item.errorText.isEmpty();
        }
        return whole;
    }

    // After a change of module: one of the first three polls is whole, and so are the ten after.
    bool wholeAgainSoon(quint8& generation, int connections = 1)
    {
        int misses = 0;
        while (!pollIsWhole(++generation, connections) && ++misses < 3) {
        }
        int whole = 0;
        for (int poll = 0; misses < 3 && poll < 10; ++poll) {
            whole += pollIsWhole(++generation, connections) ? 1 : 0;
        }
        return whole == 10;
    }
};

} // namespace

TEST_F(ReplyIntegrity, StrayRepliesNeverLandOnAnItem)
{
    EXPECT_TRUE(pollIsWhole(1)); // the module has echoed its requests: the plugin now knows it does

    struct Case
    {
        const char* name;
        std::function<void(Faults&)> fault;
        bool refused; // every block's reply is refused: no item gets a value
    };
    const Case cases[] = {
        // The copy waits on the connection when the next request is due: the plugin reconnects
        // and loses nothing.
        {"duplicated reply", [](Faults& f) { f.duplicateReadReply = true; }, false},
        {"reply for the next address", [](Faults& f) { f.readReplyAddressOffset = 1; }, true},
        {"reply for an address far away", [](Faults& f) { f.readReplyAddressOffset = -40; }, true},
        {"non-hex digit in the words", [](Faults& f) { f.nonHexInReplyWords = true; }, true},
        {"a hex digit garbled, the BCC as it was", [](Faults& f) { f.garbledDigitPercent = 100; },
         true},
    };
    quint8 generation = 2;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        setGeneration(generation);
        Faults faults;
        c.fault(faults);
        plc->setFaults(faults);
        LogList log = oraclePoll();
        // A poll whose every reply was refused fails: the module answers, but nothing it says
        // can be used. Every item then says why it has no value.
        EXPECT_EQ(plugin->readData(&log), !c.refused);
        EXPECT_EQ(log.errorText, c.refused
                                     ? QStringLiteral("Every reply from the PLC was refused: it "
                                                      "answers, but with nothing that can be used")
                                     : QString());
        EXPECT_EQ(checkValues(log, generation), c.refused ? 0 : log.items.size());
        for (const DataItem& data : log.items) {
            EXPECT_EQ(data.item.errorText,
                      c.refused ? QStringLiteral("Error reading response") : QString());
        }

        plc->setFaults(Faults());
        EXPECT_TRUE(pollIsWhole(++generation));
        ++generation;
    }
}

// Only a write reply or an error reply tells what became of a write: a read reply or a frame of
// another command confirms nothing.
TEST_F(ReplyIntegrity, AWriteAnsweredByAnotherFrameIsNotConfirmed)
{
    EXPECT_TRUE(pollIsWhole(1));
    const std::pair<const char*, std::function<void(Faults&)>> answers[] = {
        {"a read reply", [](Faults& f) { f.readReplyToWrite = true; }},
        {"a foreign frame", [](Faults& f) { f.foreignWriteReply = true; }},
    };
    quint8 generation = 2;
    for (const auto& [name, fault] : answers) {
        SCOPED_TRACE(name);
        Faults faults;
        fault(faults);
        plc->setFaults(faults);
        const int before = frames("06").size();
        LogList write =
            request(7, {entry(memoryItem("w", kClassV, "300", Integer), QStringLiteral("5")),
                        entry(memoryItem("x", kClassV, "301", Integer), QStringLiteral("6"))});
        EXPECT_TRUE(plugin->writeData(&write)) << write.errorText.toStdString();
        for (const DataItem& data : write.items) {
            EXPECT_EQ(data.item.errorText, QStringLiteral("Error reading response"));
        }
        // Each entry was sent once, each on a connection of its own: no later request took a
        // stale reply.
        EXPECT_EQ(frames("06").size() - before, 2);

        plc->setFaults(Faults());
        EXPECT_TRUE(pollIsWhole(generation++));
    }
}

// A module that echoed the request's class and address is swapped for one that writes zeros
// there: the protection against misaddressed replies must not refuse the new module for good.
TEST_F(ReplyIntegrity, AModuleSwappedForOneThatDoesNotEchoIsPolledAgain)
{
    quint8 generation = 1;
    EXPECT_TRUE(pollIsWhole(generation)); // the module has echoed: the plugin knows it does
    Faults faults;
    faults.noEcho = true;
    plc->setFaults(faults);
    plc->dropConnections(); // the old module is gone, and its connection with it
    EXPECT_TRUE(wholeAgainSoon(generation));

    // Put back, the echoing module is held to its echo again: a reply for the next address is
    // refused.
    plc->setFaults(Faults());
    EXPECT_TRUE(pollIsWhole(++generation));
    faults = Faults();
    faults.readReplyAddressOffset = 1;
    plc->setFaults(faults);
    setGeneration(++generation);
    LogList log = oraclePoll();
    EXPECT_FALSE(plugin->readData(&log));
    EXPECT_EQ(checkValues(log, generation), 0);
}

// The extra connections answered once; the module restarts and takes only two connections (HMIs
// hold the rest): polls fall back to the two, say so once, and stay whole.
TEST_F(ReplyIntegrity, ANearlyFullModuleIsPolledOverTheConnectionsItTakes)
{
    quint8 generation = 1;
    constexpr int kConnections = 4; // the oracle items lie in four blocks
    EXPECT_TRUE(pollIsWhole(generation, kConnections));
    EXPECT_EQ(plc->openConnections(), kConnections);
    Faults faults;
    faults.connectionLimit = 2;
    plc->setFaults(faults);
    plc->dropConnections();
    testing::internal::CaptureStderr();
    EXPECT_TRUE(wholeAgainSoon(generation, kConnections));
    const std::string lines = testing::internal::GetCapturedStderr();
    EXPECT_NE(lines.find("the module refused a further connection"), std::string::npos) << lines;
    EXPECT_LE(plc->openConnections(), 2);
    // The session remembers: the next poll asks for no connection the module would refuse.
    const int refused = plc->refusedConnections();
    EXPECT_TRUE(pollIsWhole(++generation, kConnections));
    EXPECT_EQ(plc->refusedConnections(), refused);
}

// Extra connections that take their requests and never answer while the first one answers: their
// blocks go to the first connection once their time-out has passed, and they are closed and left
// alone for a minute like refused ones, so the next poll costs no time-out. A module slow on every
// connection is no such module: its connections are opened again.
TEST_F(ReplyIntegrity, SilentExtraConnectionsHandTheirBlocksOnAndRestAMinute)
{
    quint8 generation = 1;
    constexpr int kConnections = 4;
    EXPECT_TRUE(pollIsWhole(generation, kConnections));
    Faults faults;
    faults.latencyMs = 400;
    plc->setFaults(faults);
    EXPECT_FALSE(pollIsWhole(++generation, kConnections, 300));
    plc->setFaults(Faults());
    const int connectionsBeforeSlow = plc->connectionCount();
    EXPECT_TRUE(pollIsWhole(++generation, kConnections, 300));
    EXPECT_TRUE(plc->waitForConnections(connectionsBeforeSlow + 4));
    // The first connection is opened first again, while the module holds no other.
    plc->dropConnections();

    faults = Faults();
    faults.silentBeyond = 1;
    plc->setFaults(faults);
    testing::internal::CaptureStderr();
    for (int poll = 0; poll < 2; ++poll) {
        const int connectionsBefore = plc->connectionCount();
        const int requestsBefore = plc->requestCount();
        EXPECT_TRUE(pollIsWhole(++generation, kConnections, 300));
        // The first poll opens all four: the three silent ones took one block each, read again on
        // the first. The second: four blocks on the first connection, nothing opened, no time-out.
        const int sent = poll == 0 ? 4 + 3 : 4;
        EXPECT_TRUE(plc->waitForRequests(requestsBefore + sent));
        EXPECT_EQ(plc->connectionCount() - connectionsBefore, poll == 0 ? 4 : 0);
        EXPECT_EQ(plc->requestCount() - requestsBefore, sent);
    }
    EXPECT_NE(testing::internal::GetCapturedStderr().find(
                  "a further connection gave no reply within the time-out while the first "
                  "answered; polling over 1"),
              std::string::npos);
    plc->setFaults(Faults());
    EXPECT_TRUE(pollIsWhole(++generation, kConnections));
}

// A connection opened later knows what the others learnt: a module that echoes is held to its
// echo from a further connection's very first reply.
TEST_F(ReplyIntegrity, AFurtherConnectionKnowsTheModuleEchoes)
{
    EXPECT_TRUE(pollIsWhole(1)); // the first connection learns that the module echoes
    Faults faults;
    faults.readReplyAddressOffset = 1;
    plc->setFaults(faults);
    setGeneration(2);
    LogList log = oraclePoll(3000, 4); // three further connections, new to the module
    EXPECT_FALSE(plugin->readData(&log));
    EXPECT_EQ(checkValues(log, 2), 0);
}

// A user who lowers "connections" frees the module's slots at the next poll.
TEST_F(ReplyIntegrity, ConnectionsNoLongerWantedAreClosed)
{
    EXPECT_TRUE(pollIsWhole(1, 4));
    EXPECT_EQ(plc->openConnections(), 4);
    EXPECT_TRUE(pollIsWhole(2, 1));
    EXPECT_TRUE(plc->waitForOpenConnections(1));
}
