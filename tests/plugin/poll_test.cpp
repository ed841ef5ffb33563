// Polls through the loaded plugin over real TCP: the frames the PLC receives for a plan of blocks,
// the values that come back, and what a poll does with replies, items and connections it cannot
// use. The merging arithmetic and the value texts are tabled without a network elsewhere.

#include <thread>

#include "plugin_fixture.h"

using namespace plugin_test;

namespace {

QList<DataItem> oneWordItems(int addressClass, const QList<int>& addresses)
{
    QList<DataItem> items;
    for (int address : addresses) {
        items.append(entry(memoryItem(QStringLiteral("w%1_%2").arg(addressClass).arg(address),
                                      addressClass, QString::number(address), Integer)));
    }
    return items;
}

} // namespace

TEST_F(PluginTest, ReadsThePlannedBlocksAndConvertsEveryType)
{
    setWords(kClassV, 10, {0xFFFE, 0x3F80, 0x0000, 0x4142, 0x4300, 0xC020, 0x0000});
    setWords(kClassV, 117, {7});
    setWords(kClassX, 5, {0x0003, 0x0002});
    setWords(kClassC, 5, {0xFFFE});
    plc->setWord(kClassK, 10, 2);
    LogList log = request(7, {entry(memoryItem("k10", kClassK, "10", Integer)),
                              entry(memoryItem("int", kClassV, "10", Integer)),
                              entry(memoryItem("uint", kClassV, "10", Unsigned)),
                              entry(memoryItem("float", kClassV, "11", Float)),
                              entry(memoryItem("text", kClassV, "13-14", String)),
                              entry(memoryItem("negfloat", kClassV, "15", Float)),
                              entry(memoryItem("v117", kClassV, "117", Integer)),
                              entry(memoryItem("x5", kClassX, "5", Bit)),
                              entry(memoryItem("x6", kClassX, "6", Integer)),
                              entry(memoryItem("c5", kClassC, "5", Float))});
    ASSERT_TRUE(plugin->readData(&log)) << log.errorText.toStdString();
    const QStringList expected = {"2", "-2", "65534", "1", "ABC", "-2.5", "7", "1", "0", "0"};
    for (int i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(valueOf(log.items[i]), expected[i]) << log.items[i].item.uid.toStdString();
    }
    // V10 to V16 and V117 lie more than 16 words apart; classes in code order, never merged.
    const QList<Frame> reads = frames("04");
    const QList<QPair<int, quint32>> starts = {
        {kClassV, 10}, {kClassV, 117}, {kClassK, 10}, {kClassX, 5}, {kClassC, 5}};
    ASSERT_EQ(reads.size(), starts.size());
    for (int i = 0; i < reads.size(); ++i) {
        EXPECT_EQ(qMakePair(reads[i].addressClass, reads[i].address), starts[i]) << i;
    }
    EXPECT_EQ(reads[0].count, 7);
}

// A module that reads at most 64 words a request: with max_block_words 64, 200 neighbouring words
// take the fewest reads that fit, whether the module would refuse larger ones or not, and every
// word lands on its own item (each word holds its address in its high byte). Without the column
// the module refuses the one read of 200 words, and each item is read alone after it.
TEST_F(PluginTest, TheDeviceBlockLimitShapesTheReads)
{
    QList<DataItem> items;
    QStringList expected;
    for (quint32 address = 1; address <= 200; ++address) {
        const quint16 word = static_cast<quint16>(address << 8 | 0x5A);
        plc->setWord(kClassV, address, word);
        items.append(entry(memoryItem(QStringLiteral("v%1").arg(address), kClassV,
                                      QString::number(address), Unsigned)));
        expected.append(QString::number(word));
    }
    const auto poll = [&](const char* blockWords, int moduleReadWords) {
        Faults faults;
        faults.maxReadWords = moduleReadWords;
        plc->setFaults(faults);
        plc->resetCounters();
        LogList log = request(7, items);
        log.columns.insert(QStringLiteral("max_block_words"), QLatin1String(blockWords));
        EXPECT_TRUE(plugin->readData(&log)) << log.errorText.toStdString();
        QStringList values;
        for (const DataItem& item : log.items) {
            values.append(valueOf(item));
        }
        EXPECT_EQ(values, expected) << blockWords << " " << moduleReadWords;
        return frames("04");
    };
    for (const int moduleReadWords : {0, 64}) {
        const QList<Frame> reads = poll("64", moduleReadWords);
        ASSERT_EQ(reads.size(), 4);
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(reads[i].address, quint32(1 + 64 * i));
            EXPECT_EQ(reads[i].count, i < 3 ? 64 : 8);
        }
    }
    const QList<Frame> refused = poll("256", 64);
    ASSERT_EQ(refused.size(), 201);
    EXPECT_EQ(refused[0].count, 200);
}

// Items whose columns name no words get their reason (the texts are tabled with the item model)
// and are not read; a String read by a poll holds at most 256 words.
TEST_F(PluginTest, ItemsThatNameNoWordsAreReportedNotRead)
{
    setWords(kClassV, 50, {0x3F80, 0x0000, 0x0005});
    LogList log = request(7, {entry(memoryItem("typo", kClassV, "12x", Integer)),
                              entry(memoryItem("huge", kClassV, "1-257", String)),
                              withDataType("Float", "50", "Float"),
                              entry(memoryItem("fits", kClassV, "1-256", String)),
                              withDataType("3", "50", "3")});
    ASSERT_TRUE(plugin->readData(&log));
    const QString errors[] = {
        "Invalid address (address_word \"12x\": a word number from 0 to 16777215 is expected)",
        "Invalid address (address_word \"1-257\": a String read by a poll holds at most 256 "
        "words)",
        "Invalid data type (data_type \"Float\": a type number is expected: 0 Bit, 1 Integer, 2 "
        "Unsigned integer, 3 Float, 4 String, 5 Long integer, 6 Unsigned long integer)",
        QString(), QString()};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(log.items[i].item.errorText, errors[i]) << log.items[i].item.uid.toStdString();
        EXPECT_EQ(log.items[i].values.isEmpty(), i < 3);
    }
    EXPECT_EQ(valueOf(log.items[4]), QStringLiteral("1")); // the Float 3F800000
    ASSERT_EQ(frames("04").size(), 1); // the 256-word String takes the other items along
    EXPECT_EQ(frames("04")[0].count, 256);
}

TEST_F(PluginTest, BrokenConnectionFailsThePollAndTheNextOneReconnects)
{
    plc->setWord(kClassV, 100, 42);
    Faults faults;
    faults.closeMidReply = true;
    plc->setFaults(faults);
    LogList log = request(7, oneWordItems(kClassV, {100}) + oneWordItems(kClassK, {100}));
    EXPECT_FALSE(plugin->readData(&log));
    EXPECT_EQ(log.errorText,
              QStringLiteral("PLC closed the connection while reading a response from the PLC"));
    EXPECT_EQ(frames("04").size(), 1); // the second block was not tried

    plc->setFaults(Faults());
    LogList again = request(7, oneWordItems(kClassV, {100}));
    EXPECT_TRUE(plugin->readData(&again));
    EXPECT_EQ(valueOf(again.items[0]), QStringLiteral("42"));
    EXPECT_EQ(plc->connectionCount(), 2);
}

// The plan of a poll is kept for the next poll of the same records. Every word here tells its own
// class and address, and the host changes its records between polls in every way it can: each
// poll must read what the records say now, in the frames a device polled for the first time gets.
TEST_F(PluginTest, AKeptPlanNeverOutlivesTheRecordsItWasMadeFrom)
{
    const auto wordAt = [](int addressClass, int address) {
        return quint16((addressClass == kClassV ? 0x1000 : 0xA000) + address);
    };
    for (int address = 1; address <= 80; ++address) {
        plc->setWord(kClassV, quint32(address), wordAt(kClassV, address));
        plc->setWord(kClassK, quint32(address), wordAt(kClassK, address));
    }
    const auto expectedValue = [&](const DataItem& entry) {
        const QMap<QString, QString>& columns = entry.item.columns;
        const quint16 word =
            wordAt(columns.value("address_class").toInt(), columns.value("address_word").toInt());
        return columns.value("data_type").toInt() == Integer ? QString::number(qint16(word))
                                                             : QString::number(word);
    };
    const auto setColumn = [](LogList& log, int item, const char* column, const QString& value) {
        log.items[item].item.columns[QLatin1String(column)] = value;
    };
    const QList<DataItem> configured = {entry(memoryItem("a", kClassV, "1", Integer)),
                                        entry(memoryItem("b", kClassV, "2", Integer)),
                                        entry(memoryItem("c", kClassK, "3", Integer)),
                                        entry(memoryItem("d", kClassK, "60", Unsigned))};
    const std::vector<std::pair<const char*, std::function<void(LogList&)>>> changes = {
        {"the same records again", [](LogList&) {}},
        {"an address", [&](LogList& log) { setColumn(log, 1, "address_word", "40"); }},
        {"a class", [&](LogList& log) { setColumn(log, 0, "address_class", "2"); }},
        {"a data type", [&](LogList& log) { setColumn(log, 2, "data_type", "2"); }},
        {"an address made unusable",
         [&](LogList& log) { setColumn(log, 3, "address_word", "6o"); }},
        {"two items swapped", [](LogList& log) { log.items.swapItemsAt(0, 1); }},
        {"an item removed", [](LogList& log) { log.items.removeAt(1); }},
        {"an item added",
         [&](LogList& log) { log.items.append(entry(memoryItem("e", kClassV, "77", Integer))); }},
        {"a uid that names an identity item",
         [](LogList& log) { log.items[0].item.uid = QStringLiteral("identity_7_serial"); }},
        {"a record replaced by an equal one",
         [](LogList& log) { log.items[0].item.columns.detach(); }},
    };
    LogList log = request(7, configured);
    int deviceId = 100;
    for (const auto& [change, apply] : changes) {
        SCOPED_TRACE(change);
        apply(log);
        for (DataItem& entry : log.items) {
            entry.values.clear();
            entry.item.errorText.clear();
        }
        const int before = plc->requests().size();
        ASSERT_TRUE(plugin->readData(&log));
        const QList<QByteArray> polled = plc->requests().mid(before);
        for (const DataItem& entry : log.items) {
            const bool usable = entry.item.columns.value("address_word") != "6o";
            const bool identity = entry.item.uid.startsWith("identity_");
            EXPECT_EQ(valueOf(entry), identity ? QStringLiteral("812")
                                      : usable ? expectedValue(entry)
                                               : QString())
                << entry.item.uid.toStdString();
            EXPECT_EQ(entry.item.errorText.left(15),
                      usable ? QString() : QStringLiteral("Invalid address"));
        }
        LogList firstPoll = log;
        firstPoll.id = ++deviceId;
        for (DataItem& entry : firstPoll.items) { // the same identity item, of the new device
            entry.item.uid.replace("identity_7_", QStringLiteral("identity_%1_").arg(deviceId));
        }
        const int beforeFirst = plc->requests().size();
        ASSERT_TRUE(plugin->readData(&firstPoll));
        EXPECT_EQ(polled, plc->requests().mid(beforeFirst));
    }
}

// One address the PLC refuses never costs its neighbours: the merged block it spoils is read again
// item by item in the same poll, and later polls read it alone, its neighbours in the fewest
// frames that leave its words out. After a reconnect the module may have changed: the whole block
// is tried again. Once the PLC answers the item alone again (its refusals were a moment's, while
// its program was changed), it joins the block at the next plan.
TEST_F(PluginTest, OneRefusedItemNeverCostsItsNeighbours)
{
    setWords(kClassV, 4090, {11});
    setWords(kClassV, 4095, {12});
    Faults faults;
    faults.errorAddresses = {{kClassV, 4100}}; // as an address past the end of memory
    plc->setFaults(faults);
    LogList log = request(7, oneWordItems(kClassV, {4090, 4100, 4095}));
    const auto poll = [&](bool refused = true) {
        for (DataItem& entry : log.items) {
            entry.values.clear();
            entry.item.errorText.clear();
        }
        const int before = frames("04").size();
        EXPECT_TRUE(plugin->readData(&log)) << log.errorText.toStdString();
        EXPECT_EQ(valueOf(log.items[0]), QStringLiteral("11"));
        EXPECT_EQ(valueOf(log.items[2]), QStringLiteral("12"));
        EXPECT_TRUE(log.items[0].item.errorText.isEmpty());
        EXPECT_EQ(log.items[1].item.errorText.startsWith("Error code: 0292"), refused)
            << log.items[1].item.errorText.toStdString();
        return frames("04").size() - before;
    };
    EXPECT_EQ(poll(), 1 + 3); // the block, then each item alone
    EXPECT_EQ(poll(), 2);     // V4090-V4095, and V4100 alone
    log = withNewRecords(log);
    EXPECT_EQ(poll(), 2); // new records of the same content keep the plan
    plc->dropConnections();
    EXPECT_EQ(poll(), 2); // this poll reconnects ...
    EXPECT_EQ(poll(), 4); // ... and the next plans afresh
    plc->setFaults(Faults());
    EXPECT_EQ(poll(false), 2); // V4100 alone is answered ...
    EXPECT_EQ(poll(false), 1); // ... and joins the block
    EXPECT_EQ(poll(false), 1);
}

// A host that builds its records afresh for every poll gets what one that keeps them gets; a
// record changed between polls is planned again, and the others keep their values.
TEST_F(PluginTest, NewRecordsOfTheSameContentPollAsKeptOnes)
{
    setWords(kClassV, 100, {11, 12, 13});
    plc->setWord(kClassV, 140, 14);
    LogList kept = request(7, oneWordItems(kClassV, {100, 101, 102}));
    const auto poll = [&](LogList log) {
        const int before = frames("04").size();
        EXPECT_TRUE(plugin->readData(&log)) << log.errorText.toStdString();
        QStringList values;
        for (const DataItem& data : log.items) {
            values.append(valueOf(data) + data.item.errorText);
        }
        return values.join(QLatin1Char(' ')) +
               QStringLiteral(" in %1").arg(frames("04").size() - before);
    };
    EXPECT_EQ(poll(kept), QStringLiteral("11 12 13 in 1"));
    EXPECT_EQ(poll(withNewRecords(kept)), QStringLiteral("11 12 13 in 1"));
    LogList changed = withNewRecords(kept);
    changed.items[1].item.columns[QStringLiteral("address_word")] = QStringLiteral("140");
    EXPECT_EQ(poll(changed), QStringLiteral("11 14 13 in 2"));
    EXPECT_EQ(poll(withNewRecords(changed)), QStringLiteral("11 14 13 in 2"));
    EXPECT_EQ(poll(kept), QStringLiteral("11 12 13 in 1"));

    // Entries whose values the host made itself: its own "value" is replaced, any other key of
    // the entry is left as it was.
    LogList hostMade = withNewRecords(kept);
    hostMade.items[0].values.insert(QString::fromLatin1("value"), QStringLiteral("old"));
    hostMade.items[1].values.insert(QStringLiteral("quality"), QStringLiteral("good"));
    ASSERT_TRUE(plugin->readData(&hostMade));
    EXPECT_EQ(hostMade.items[0].values, (QMap<QString, QString>{{"value", "11"}}));
    EXPECT_EQ(hostMade.items[1].values,
              (QMap<QString, QString>{{"quality", "good"}, {"value", "12"}}));
}

// Device sessions under concurrent host calls: one connection per device. That stopPlugin()
// waits for the calls in progress is the stress test's.
TEST_F(PluginTest, ConcurrentFirstRequestsShareOneSession)
{
    Faults faults;
    faults.latencyMs = 50; // keep both calls in flight together
    plc->setFaults(faults);
    plc->setWord(kClassV, 1, 11);

    LogList first = request(9, {entry(memoryItem("v1", kClassV, "1", Integer))});
    LogList second = first;
    bool ok1 = false, ok2 = false;
    std::thread a([&] { ok1 = plugin->readData(&first); });
    std::thread b([&] { ok2 = plugin->readData(&second); });
    a.join();
    b.join();
    EXPECT_TRUE(ok1);
    EXPECT_TRUE(ok2);
    EXPECT_EQ(valueOf(first.items[0]), QStringLiteral("11"));
    EXPECT_EQ(valueOf(second.items[0]), QStringLiteral("11"));
    EXPECT_EQ(plc->connectionCount(), 1);
    // Stopped, the plugin holds no connection, and says it stopped.
    EXPECT_TRUE(plugin->stopPlugin());
    EXPECT_TRUE(plc->waitForOpenConnections(0));
}

TEST_F(PluginTest, DevicesOnOneAddressUseTheirOwnConnections)
{
    LogList seven = request(7, {entry(memoryItem("v1", kClassV, "1", Integer))});
    LogList eight = request(8, {entry(memoryItem("v1", kClassV, "1", Integer))});
    ASSERT_TRUE(plugin->readData(&seven));
    ASSERT_TRUE(plugin->readData(&eight));
    ASSERT_TRUE(plugin->readData(&seven));
    EXPECT_EQ(plc->connectionCount(), 2);
}
