// Writes through the loaded plugin, checked in the simulated PLC's memory: what is written, that a
// refused or unacknowledged value never reaches the PLC, and what a broken connection leaves
// unwritten. The encodings and refusal texts are tabled without a network elsewhere.

#include "plugin_fixture.h"

#include <thread>

using namespace plugin_test;

namespace {

DataItem writeOf(const char* uid, int addressClass, const char* word, int dataType,
                 const char* value)
{
    return entry(memoryItem(QLatin1String(uid), addressClass, QLatin1String(word), dataType),
                 QString::fromUtf8(value));
}

} // namespace

TEST_F(PluginTest, WritesEveryTypeToItsOwnWords)
{
    setWords(kClassV, 400, {0xAAAA, 0xAAAA, 0xAAAA, 0xAAAA});
    setWords(kClassV, 500, {0x4845, 0x4C4C, 0x4F20, 0x574F, 0x524C, 0x4400}); // "HELLO WORLD"
    LogList log = request(7, {writeOf("neg", kClassV, "200", Integer, "-1"),
                              writeOf("uint", kClassV, "202", Unsigned, "65535"),
                              writeOf("float", kClassV, "300", Float, "3.4028235e38"),
                              writeOf("text", kClassV, "400-402", String, "ABC"),
                              writeOf("shorter", kClassV, "500-505", String, "HI"),
                              withDataType("type with blanks", "600", " 2 ", "7")});
    ASSERT_TRUE(plugin->writeData(&log)) << log.errorText.toStdString();
    for (const DataItem& data : log.items) {
        EXPECT_TRUE(data.item.errorText.isEmpty()) << data.item.errorText.toStdString();
    }
    const QList<QPair<quint32, quint16>> memory = {
        {200, 0xFFFF}, {201, 0x0000}, {202, 0xFFFF}, {300, 0x7F7F}, {301, 0xFFFF},
        {400, 0x4142}, {401, 0x4300}, {402, 0x0000}, {403, 0xAAAA}, // past the range
        {500, 0x4849}, {501, 0x0000}, {505, 0x0000}, {600, 0x0007}};
    for (const auto& word : memory) {
        EXPECT_EQ(plc->word(kClassV, word.first), word.second) << "V" << word.first;
    }
    const QStringList debug = HostConfig::instance().debugLines();
    ASSERT_EQ(debug.size(), 6);
    EXPECT_EQ(debug[0], QStringLiteral("Writing -1 Item: neg Device: press-7"));
}

TEST_F(PluginTest, RefusedValuesNeverReachThePlc)
{
    setWords(kClassV, 600, {0x1111, 0x2222});
    plc->setWord(kClassX, 3, 0x00F0);
    // One row for every way a write is refused before anything is sent.
    const QList<QPair<DataItem, const char*>> refusals = {
        {writeOf("letters", kClassV, "600", Integer, "abc"),
         "Invalid value (Integer: a whole number)"},
        {writeOf("too big", kClassV, "600", Unsigned, "65536"),
         "Value out of range (Unsigned integer: -32768 to 65535)"},
        {writeOf("x is 2", kClassX, "3", Bit, "2"), "Invalid value (Bit: 0 or 1)"},
        {writeOf("x string", kClassX, "3", String, "1"), "Data type not writable to X, Y or C"},
        {writeOf("discrete typo", kClassX, "3x", Bit, "1"),
         "Invalid address (address_word \"3x\": a word number from 0 to 16777215 is expected)"},
        {writeOf("too long", kClassV, "600-601", String, "HELLO"), "Value too long"},
        {writeOf("no range", kClassV, "600", String, "A"),
         "Invalid address (address_word \"600\": a String takes its first and last word, for "
         "example 100-109)"},
        {writeOf("typo", kClassV, "60O", Integer, "1"),
         "Invalid address (address_word \"60O\": a word number from 0 to 16777215 is expected)"},
        {withDataType("type Float", "600", "Float", "5"),
         "Invalid data type (data_type \"Float\": a type number is expected: 0 Bit, 1 Integer, 2 "
         "Unsigned integer, 3 Float, 4 String, 5 Long integer, 6 Unsigned long integer)"},
    };
    QList<DataItem> items;
    for (const auto& refusal : refusals) {
        items.append(refusal.first);
    }
    LogList log = request(7, items);
    ASSERT_TRUE(plugin->writeData(&log));
    for (int i = 0; i < refusals.size(); ++i) {
        EXPECT_EQ(log.items[i].item.errorText, QLatin1String(refusals[i].second))
            << log.items[i].item.uid.toStdString();
    }
    EXPECT_EQ(plc->requestCount(), 0);
    EXPECT_EQ(plc->word(kClassV, 600), 0x1111);
    EXPECT_EQ(plc->word(kClassX, 3), 0x00F0);
}

// Identity items, items that only look like one, and the PLC's status words are never written,
// and say so.
TEST_F(PluginTest, IdentityItemsAndStatusWordsAreNeverWritten)
{
    const QString notOwn = QStringLiteral(
        "Not an identity item of this device (uids that start with identity_ and addresses that "
        "start with __identity. are kept for them)");
    LogList log = request(
        7, {entry(memoryItem("identity_7_serial", kClassSTW, "__identity.serial", String), "999"),
            entry(memoryItem("identity_check", kClassV, "100", Integer), "1"),
            entry(memoryItem("identity_8_serial", kClassSTW, "__identity.serial", String), "2"),
            entry(memoryItem("colour", kClassSTW, "__identity.colour", String), "3"),
            entry(memoryItem("serial_word", kClassSTW, "259", Integer), "5")});
    EXPECT_TRUE(plugin->writeData(&log));
    EXPECT_EQ(log.items[4].item.errorText, QStringLiteral("Status words are read-only"));
    EXPECT_EQ(log.items[0].item.errorText, QStringLiteral("Identity items are read-only"));
    EXPECT_EQ(log.items[1].item.errorText, notOwn);
    EXPECT_EQ(log.items[2].item.errorText, QStringLiteral("Identity items are read-only"));
    EXPECT_EQ(log.items[3].item.errorText, notOwn);
    EXPECT_EQ(plc->requestCount(), 0);
    EXPECT_TRUE(eventually([&] { return plc->connectionCount() == 1; })); // connected, nothing sent
    // Nothing was written; only the configuration check told of the items that are none.
    EXPECT_TRUE(HostConfig::instance().debugLines().filter("Writing").isEmpty());
}

TEST_F(PluginTest, AnErrorReplyFailsItsEntryAndALostConnectionTheRest)
{
    Faults faults;
    faults.errorAddresses = {{kClassV, 800}};
    plc->setFaults(faults);
    LogList refused = request(7, {writeOf("bad", kClassV, "800", Integer, "1"),
                                  writeOf("good", kClassV, "801", Integer, "2")});
    EXPECT_TRUE(plugin->writeData(&refused));
    EXPECT_TRUE(refused.items[0].item.errorText.startsWith("Error code: "));
    EXPECT_EQ(plc->word(kClassV, 800), 0);
    EXPECT_EQ(plc->word(kClassV, 801), 2);
    faults = Faults();
    faults.shortReplyWords = 0; // a discrete write's read brings no word: nothing is written
    plc->setFaults(faults);
    LogList noWord = request(7, {writeOf("c5", kClassC, "5", Bit, "1")});
    EXPECT_TRUE(plugin->writeData(&noWord));
    EXPECT_EQ(noWord.items[0].item.errorText, QStringLiteral("Error reading response"));
    EXPECT_EQ(frames("06").size(), 2); // the two entries above; none for C5

    faults = Faults();
    faults.closeAfterRequests = 1;
    plc->setFaults(faults);
    plugin->stopPlugin(); // a fresh connection, so the module counts from this request
    plc->resetCounters();
    LogList broken = request(7, {writeOf("a", kClassV, "700", Integer, "1"),
                                 writeOf("b", kClassV, "701", Integer, "2"),
                                 writeOf("c", kClassV, "702", Integer, "3")});
    EXPECT_FALSE(plugin->writeData(&broken));
    EXPECT_FALSE(broken.errorText.isEmpty());
    // Whether b went out before the module's close was noticed depends on the race; c never did.
    EXPECT_TRUE(broken.items[0].item.errorText.isEmpty());
    EXPECT_TRUE(broken.items[1].item.errorText.startsWith("Not "))
        << broken.items[1].item.errorText.toStdString();
    EXPECT_EQ(broken.items[2].item.errorText, QStringLiteral("Not written: ") + broken.errorText);
    EXPECT_EQ(plc->word(kClassV, 700), 1);
    EXPECT_EQ(plc->word(kClassV, 701), 0);
    EXPECT_EQ(plc->word(kClassV, 702), 0);
    EXPECT_EQ(frames("06").size(), 1);
}

// The plant's own data: 32-bit counters in two words (first high) and single bits of words, read
// within the usual blocks and written without touching any other bit.
TEST_F(PluginTest, LongIntegersAndBitsOfWords)
{
    setWords(kClassV, 10, {0x0001, 0x1170, 0xFFFF, 0xFFFE, 0x0048, 0x41AC, 0x0000});
    LogList poll = request(7, {entry(memoryItem("count", kClassV, "10", Long)),
                               entry(memoryItem("minus2", kClassV, "12", Long)),
                               entry(memoryItem("big", kClassV, "12", ULong)),
                               entry(memoryItem("status", kClassV, "14", Unsigned)),
                               entry(memoryItem("running", kClassV, "14.3", Bit)),
                               entry(memoryItem("stopped", kClassV, "14.0", Bit)),
                               entry(memoryItem("temp", kClassV, "15", Float))});
    ASSERT_TRUE(plugin->readData(&poll)) << poll.errorText.toStdString();
    const char* const values[] = {"70000", "-2", "4294967294", "72", "1", "0", "21.5"};
    for (int i = 0; i < poll.items.size(); ++i) {
        EXPECT_EQ(valueOf(poll.items[i]), QLatin1String(values[i])) << i;
    }
    ASSERT_EQ(frames("04").size(), 1); // one block, V10 to V16
    EXPECT_EQ(frames("04")[0].count, 7);

    // Bits 0 and 3 of V20 set, bit 7 of V21 cleared, a counter past 65,535 written whole.
    setWords(kClassV, 20, {0x1230, 0x00FF});
    LogList write = request(7, {writeOf("b0", kClassV, "20.0", Bit, "1"),
                                writeOf("b3", kClassV, "20.3", Bit, "1"),
                                writeOf("b7", kClassV, "21.7", Bit, "0"),
                                writeOf("count", kClassV, "30", ULong, "4000000000"),
                                writeOf("bad", kClassV, "32", Long, "2147483648")});
    ASSERT_TRUE(plugin->writeData(&write)) << write.errorText.toStdString();
    EXPECT_EQ(plc->word(kClassV, 20), 0x1239);
    EXPECT_EQ(plc->word(kClassV, 21), 0x007F);
    EXPECT_EQ(plc->word(kClassV, 30), 0xEE6B);
    EXPECT_EQ(plc->word(kClassV, 31), 0x2800);
    EXPECT_EQ(write.items[4].item.errorText,
              QStringLiteral("Value out of range (Long integer: -2147483648 to 2147483647)"));
    const QList<Frame> written = frames("06");
    ASSERT_EQ(written.size(), 4);
    EXPECT_EQ(written[3].count, 2); // both words of the counter in one command
}

// One module configured as two devices (a fast and a slow poll group), one named by its address,
// the other by a name of it: bit writes of the same word from both, at the same time, never put
// back a bit the other has just set, and every one is done.
TEST_F(PluginTest, BitWritesOfTwoDevicesOnOneModuleKeepEachOthersBits)
{
    Faults faults;
    faults.latencyMs = 3; // the read and the write of a bit write lie apart
    plc->setFaults(faults);
    for (int round = 0; round < 3; ++round) {
        plc->setWord(kClassV, 50, 0);
        const auto writeBits = [&](int deviceId, const char* host, int firstBit) {
            for (int bit = firstBit; bit < firstBit + 8; ++bit) {
                const QByteArray word = "50." + QByteArray::number(bit);
                LogList write = request(deviceId, {writeOf("bit", kClassV, word, Bit, "1")});
                write.address = QLatin1String(host);
                EXPECT_TRUE(plugin->writeData(&write)) << write.errorText.toStdString();
                EXPECT_TRUE(write.items[0].item.errorText.isEmpty());
            }
        };
        std::thread fast([&] { writeBits(7, "127.0.0.1", 0); });
        std::thread slow([&] { writeBits(8, "localhost", 8); });
        fast.join();
        slow.join();
        EXPECT_EQ(plc->word(kClassV, 50), 0xFFFF) << "round " << round;
    }
}
