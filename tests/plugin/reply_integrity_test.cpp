// A value shown on the wrong item is worse than no value. These tests poll a simulated PLC whose
// every word tells where it lives, through the loaded plugin, while the module or the line answers
// the wrong request: a duplicated reply, a reply for another address, a read reply to a write, a
// broken digit. No value may ever land on an item other than its own, and once the faults stop the
// next poll must be whole.

#include <random>

#include "plugin_fixture.h"

using namespace plugin_test;

namespace {

// Oracle memory: a word's high byte names its class and address, its low byte the generation, so
// a word read from anywhere else, or from an earlier generation, cannot pass for the right one.
quint16 oracleWord(int addressClass, quint32 address, quint8 generation)
{
    const quint8 place = static_cast<quint8>(address * 7 + static_cast<quint32>(addressClass) * 31);
    return static_cast<quint16>(place << 8 | generation);
}

struct OracleItem
{
    int addressClass;
    quint32 address;
};

// 26 one-word items in four blocks: V100-V114 (every other word), V140-V144, V200-V202 (each more
// than 16 words from the one before) and K10-K19.
QList<OracleItem> oracleItems()
{
    QList<OracleItem> items;
    for (quint32 a = 100; a < 115; a += 2) {
        items.append({kClassV, a});
    }
    for (quint32 a = 140; a < 145; ++a) {
        items.append({kClassV, a});
    }
    for (quint32 a = 200; a < 203; ++a) {
        items.append({kClassV, a});
    }
    for (quint32 a = 10; a < 20; ++a) {
        items.append({kClassK, a});
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
                         oracleWord(item.addressClass, item.address, generation));
        }
    }

    LogList oraclePoll(int timeoutMs = 3000) const
    {
        QList<DataItem> entries;
        for (const OracleItem& item : oracleItems()) {
            const QString uid = QStringLiteral("c%1_%2").arg(item.addressClass).arg(item.address);
            entries.append(
                entry(memoryItem(uid, item.addressClass, QString::number(item.address), Unsigned)));
        }
        LogList log = request(7, entries);
        log.columns.insert(QStringLiteral("timeout"), QString::number(timeoutMs));
        return log;
    }

    // Every value the poll gave is the word at its own item's address, of this generation. Returns
    // the number of values given.
    int checkValues(const LogList& log, quint8 generation) const
    {
        const QList<OracleItem> items = oracleItems();
        int given = 0;
        for (int i = 0; i < log.items.size(); ++i) {
            if (!log.items[i].values.contains(QStringLiteral("value"))) {
                continue;
            }
            ++given;
            const quint16 expected =
                oracleWord(items[i].addressClass, items[i].address, generation);
            EXPECT_EQ(valueOf(log.items[i]), QString::number(expected))
                << "item " << log.items[i].item.uid.toStdString() << " generation "
                << int(generation);
        }
        return given;
    }

    void expectWholePoll(quint8 generation)
    {
        setGeneration(generation);
        LogList log = oraclePoll();
        ASSERT_TRUE(plugin->readData(&log)) << log.errorText.toStdString();
        EXPECT_EQ(checkValues(log, generation), log.items.size());
        for (const DataItem& data : log.items) {
            EXPECT_TRUE(data.item.errorText.isEmpty()) << data.item.errorText.toStdString();
        }
    }
};

} // namespace

TEST_F(ReplyIntegrity, StrayRepliesNeverLandOnAnItem)
{
    expectWholePoll(1); // the module has echoed its requests: the plugin now knows it does

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
        expectWholePoll(++generation);
        ++generation;
    }
}

TEST_F(ReplyIntegrity, AReadReplyToAWriteFailsTheEntryAndTheNextPollIsWhole)
{
    expectWholePoll(1);
    Faults faults;
    faults.readReplyToWrite = true;
    plc->setFaults(faults);
    LogList write =
        request(7, {entry(memoryItem("w", kClassV, "300", Integer), QStringLiteral("5")),
                    entry(memoryItem("x", kClassV, "301", Integer), QStringLiteral("6"))});
    EXPECT_TRUE(plugin->writeData(&write)) << write.errorText.toStdString();
    for (const DataItem& data : write.items) {
        EXPECT_EQ(data.item.errorText, QStringLiteral("Error reading response"));
    }
    // Each entry was sent once, each on a connection of its own: no later request took a stale
    // reply.
    EXPECT_EQ(frames("06").size(), 2);

    plc->setFaults(Faults());
    expectWholePoll(2);
}

// Many polls under a seeded random mix of every fault that can misplace or delay a reply: no value
// on a wrong word, ever, and the first poll after the faults is whole.
TEST_F(ReplyIntegrity, ValueOracleUnderRandomFaults)
{
    expectWholePoll(1);
    std::mt19937 random(20261207);
    const std::function<void(Faults&)> faultKinds[] = {
        [](Faults&) {}, // a clean poll now and then
        [](Faults& f) { f.duplicateReadReply = true; },
        [](Faults& f) { f.readReplyAddressOffset = 1; },
        [](Faults& f) { f.readReplyAddressOffset = 16; },
        [](Faults& f) { f.nonHexInReplyWords = true; },
        [](Faults& f) { f.junkBeforeReply = "]]\r\n05"; },
        [](Faults& f) { f.closeMidReply = true; },
        [](Faults& f) { f.shortReplyWords = 1; },
        [](Faults& f) { f.chunkBytes = 3; },
        [](Faults& f) { f.latencyMs = 150; }, // past the poll's time-out of 100 ms
    };
    const int kinds = static_cast<int>(std::size(faultKinds));
    int valuesGiven = 0;
    int failedPolls = 0;
    for (int poll = 0; poll < 80; ++poll) {
        const quint8 generation = static_cast<quint8>(poll + 2);
        setGeneration(generation);
        Faults faults;
        faultKinds[random() % kinds](faults);
        if (random() % 3 == 0) {
            faultKinds[random() % kinds](faults); // two at once
        }
        plc->setFaults(faults);
        LogList log = oraclePoll(faults.latencyMs > 0 ? 100 : 3000);
        if (!plugin->readData(&log)) {
            ++failedPolls;
        }
        valuesGiven += checkValues(log, generation);
    }
    plc->setFaults(Faults());
    expectWholePoll(200);
    // The mix did both: values came through and polls failed.
    EXPECT_GT(valuesGiven, 0);
    EXPECT_GT(failedPolls, 0);
}

// A module that does not echo the request is never held to an echo; a duplicated reply is still
// caught, since it is waiting when the next request is due.
TEST_F(ReplyIntegrity, AModuleThatDoesNotEchoStillPollsWhole)
{
    Faults faults;
    faults.noEcho = true;
    plc->setFaults(faults);
    expectWholePoll(1);
    faults.duplicateReadReply = true;
    plc->setFaults(faults);
    expectWholePoll(2);
    faults.duplicateReadReply = false;
    plc->setFaults(faults);
    expectWholePoll(3);
    EXPECT_GT(plc->connectionCount(), 1); // reconnected past the duplicates
}
