// Polls through the loaded plugin: how items merge into block reads (counted in the frames the
// PLC received) and how words turn into value texts.

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

struct MergeCase
{
    const char* name;
    QList<DataItem> items;
    QList<QPair<quint32, int>> blocks; // (start, words) read, in order
};

} // namespace

TEST_F(PluginTest, MergesNeighbouringItemsIntoTheFewestBlocks)
{
    // V memory starts at V1, so the 256-word cases start there.
    QList<int> every16;
    for (int a = 1; a <= 241; a += 16) {
        every16 << a;
    }
    const QList<MergeCase> cases = {
        {"gap of 16 words", oneWordItems(kClassV, {100, 117}), {{100, 18}}},
        {"gap of 17 words", oneWordItems(kClassV, {100, 118}), {{100, 1}, {118, 1}}},
        {"256-word block", oneWordItems(kClassV, every16 + QList<int>{256}), {{1, 256}}},
        {"257 words", oneWordItems(kClassV, every16 + QList<int>{257}), {{1, 241}, {257, 1}}},
        {"far apart", oneWordItems(kClassV, {1, 256}), {{1, 1}, {256, 1}}},
        {"float overlaps integer",
         {entry(memoryItem("f10", kClassV, "10", Float)),
          entry(memoryItem("i11", kClassV, "11", Integer))},
         {{10, 2}}},
    };
    for (const MergeCase& c : cases) {
        SCOPED_TRACE(c.name);
        plc->resetCounters();
        LogList log = request(7, c.items);
        ASSERT_TRUE(plugin->readData(&log)) << log.errorText.toStdString();
        const QList<Frame> reads = frames("04");
        ASSERT_EQ(reads.size(), c.blocks.size());
        for (int i = 0; i < reads.size(); ++i) {
            EXPECT_EQ(reads[i].addressClass, kClassV);
            EXPECT_EQ(reads[i].address, c.blocks[i].first);
            EXPECT_EQ(reads[i].count, c.blocks[i].second);
        }
        for (const DataItem& data : log.items) {
            EXPECT_FALSE(valueOf(data).isNull()) << data.item.uid.toStdString();
        }
    }
}

TEST_F(PluginTest, ClassesAreNeverMerged)
{
    plc->setWord(kClassV, 100, 1);
    plc->setWord(kClassK, 100, 2);
    LogList log = request(7, oneWordItems(kClassK, {100}) + oneWordItems(kClassV, {100}));
    ASSERT_TRUE(plugin->readData(&log));
    const QList<Frame> reads = frames("04");
    ASSERT_EQ(reads.size(), 2);
    EXPECT_EQ(reads[0].addressClass, kClassV); // sorted by class
    EXPECT_EQ(reads[1].addressClass, kClassK);
    EXPECT_EQ(valueOf(log.items[0]), QStringLiteral("2"));
    EXPECT_EQ(valueOf(log.items[1]), QStringLiteral("1"));
}

TEST_F(PluginTest, ConvertsWordsByDataType)
{
    setWords(kClassV, 10, {0xFFFE, 0x3F80, 0x0000, 0x4142, 0x4300, 0xC020, 0x0000});
    setWords(kClassX, 5, {0x0003, 0x0002});
    setWords(kClassY, 5, {0x0001});
    setWords(kClassC, 5, {0xFFFE});
    LogList log = request(7, {entry(memoryItem("int", kClassV, "10", Integer)),
                              entry(memoryItem("uint", kClassV, "10", Unsigned)),
                              entry(memoryItem("bitV", kClassV, "10", Bit)),
                              entry(memoryItem("float", kClassV, "11", Float)),
                              entry(memoryItem("text", kClassV, "13-14", String)),
                              entry(memoryItem("negfloat", kClassV, "15", Float)),
                              entry(memoryItem("x5", kClassX, "5", Bit)),
                              entry(memoryItem("x6", kClassX, "6", Integer)),
                              entry(memoryItem("y5", kClassY, "5", Float)),
                              entry(memoryItem("c5", kClassC, "5", Bit))});
    ASSERT_TRUE(plugin->readData(&log));
    const QStringList expected = {"-2", "65534", "65534", "1", "ABC", "-2.5", "1", "0", "1", "0"};
    ASSERT_EQ(log.items.size(), expected.size());
    for (int i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(valueOf(log.items[i]), expected[i]) << log.items[i].item.uid.toStdString();
    }
}

TEST_F(PluginTest, ShortReplyFillsTheItemsItCovers)
{
    setWords(kClassV, 100, {1, 2, 3});
    Faults faults;
    faults.shortReplyWords = 2;
    plc->setFaults(faults);
    LogList log = request(7, oneWordItems(kClassV, {100, 101, 102}));
    ASSERT_TRUE(plugin->readData(&log));
    EXPECT_EQ(valueOf(log.items[0]), QStringLiteral("1"));
    EXPECT_EQ(valueOf(log.items[1]), QStringLiteral("2"));
    EXPECT_TRUE(log.items[2].values.isEmpty());
    EXPECT_EQ(log.items[2].item.errorText, QStringLiteral("Error reading response"));
}

TEST_F(PluginTest, ErrorReplyLandsOnTheBlocksFirstItem)
{
    Faults faults;
    faults.errorAddresses = {{kClassV, 101}};
    plc->setFaults(faults);
    LogList log = request(7, oneWordItems(kClassV, {100, 101}) + oneWordItems(kClassK, {5}));
    ASSERT_TRUE(plugin->readData(&log));
    EXPECT_TRUE(log.items[0].item.errorText.startsWith("Error code: "))
        << log.items[0].item.errorText.toStdString();
    EXPECT_TRUE(log.items[0].item.errorText.contains(" Extended code: "));
    EXPECT_TRUE(log.items[1].item.errorText.isEmpty());
    EXPECT_TRUE(log.items[1].values.isEmpty());
    EXPECT_EQ(valueOf(log.items[2]), QStringLiteral("0")); // the poll went on
    EXPECT_TRUE(log.errorText.isEmpty());
}

TEST_F(PluginTest, InvalidAddressesAreReportedNotRead)
{
    LogList log = request(7, {entry(memoryItem("typo", kClassV, "12x", Integer)),
                              entry(memoryItem("empty", kClassV, "", Integer)),
                              entry(memoryItem("range", kClassV, "100-99", String)),
                              entry(memoryItem("huge", kClassV, "1-257", String)),
                              entry(memoryItem("fits", kClassV, "1-256", String))});
    ASSERT_TRUE(plugin->readData(&log));
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(log.items[i].item.errorText, QStringLiteral("Invalid address"))
            << log.items[i].item.uid.toStdString();
        EXPECT_TRUE(log.items[i].values.isEmpty());
    }
    EXPECT_TRUE(log.items[4].item.errorText.isEmpty());
    const QList<Frame> reads = frames("04");
    ASSERT_EQ(reads.size(), 1); // only the 256-word string
    EXPECT_EQ(reads[0].count, 256);
}

TEST_F(PluginTest, DataTypesThatAreNotNumbersAreReportedNotRead)
{
    setWords(kClassV, 50, {0x3F80, 0x0000, 0x0005});
    const auto withType = [](const char* uid, const char* word, const char* dataType) {
        ItemInstancePlugin item = memoryItem(QLatin1String(uid), kClassV, QLatin1String(word), 0);
        item.columns.insert(QStringLiteral("data_type"), QLatin1String(dataType));
        return entry(item);
    };
    LogList log = request(7, {withType("Float", "50", "Float"), withType("3.0", "50", "3.0"),
                              withType("three", "50", "three"), withType("empty", "52", ""),
                              withType("3", "50", "3")});
    ASSERT_TRUE(plugin->readData(&log));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(log.items[i].item.errorText, QStringLiteral("Invalid data type"))
            << log.items[i].item.uid.toStdString();
        EXPECT_TRUE(log.items[i].values.isEmpty());
    }
    EXPECT_EQ(valueOf(log.items[3]), QStringLiteral("5")); // empty reads as Bit, as always
    EXPECT_EQ(valueOf(log.items[4]), QStringLiteral("1")); // the Float 3F800000
    EXPECT_EQ(frames("04").size(), 1);
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

TEST_F(PluginTest, UnreachableDeviceFailsWithTheConnectMessage)
{
    LogList log = request(7, oneWordItems(kClassV, {100}));
    log.columns.remove(QStringLiteral("port"));
    EXPECT_FALSE(plugin->readData(&log));
    EXPECT_EQ(log.errorText, QStringLiteral("Couldn't connect to 127.0.0.1:0"));
}

TEST_F(PluginTest, HundredsOfItemsInTheFewestFrames)
{
    // 300 dense V words need two blocks; 300 K words ten apart fill blocks of 26 items.
    QList<int> dense, sparse;
    for (int i = 1; i <= 300; ++i) {
        dense << i;
        sparse << i * 10;
        plc->setWord(kClassV, quint32(i), quint16(i));
        plc->setWord(kClassK, quint32(i * 10), quint16(i * 10));
    }
    LogList log = request(7, oneWordItems(kClassK, sparse) + oneWordItems(kClassV, dense));
    ASSERT_TRUE(plugin->readData(&log));
    EXPECT_EQ(frames("04").size(), 2 + 12);
    for (int i = 0; i < 300; ++i) {
        EXPECT_EQ(valueOf(log.items[i]), QString::number((i + 1) * 10));
        EXPECT_EQ(valueOf(log.items[300 + i]), QString::number(i + 1));
    }
}
