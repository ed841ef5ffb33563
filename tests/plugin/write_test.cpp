// Writes through the loaded plugin, checked in the simulated PLC's memory: what is written, what
// is refused, and that a refused or unacknowledged value never reaches the PLC.

#include "plugin_fixture.h"

using namespace plugin_test;

namespace {

DataItem writeOf(const char* uid, int addressClass, const char* word, int dataType,
                 const char* value)
{
    return entry(memoryItem(QLatin1String(uid), addressClass, QLatin1String(word), dataType),
                 QString::fromUtf8(value));
}

// An item whose data_type column holds the given text, as a hand-edited configuration may.
DataItem writeWithType(const char* uid, const char* word, const char* dataType, const char* value)
{
    ItemInstancePlugin item = memoryItem(QLatin1String(uid), kClassV, QLatin1String(word), Bit);
    item.columns.insert(QStringLiteral("data_type"), QLatin1String(dataType));
    return entry(item, QString::fromUtf8(value));
}

} // namespace

TEST_F(PluginTest, WritesEncodeByDataType)
{
    setWords(kClassV, 400, {0xAAAA, 0xAAAA, 0xAAAA});
    LogList log = request(7, {writeOf("neg", kClassV, "200", Integer, "-1"),
                              writeOf("int", kClassV, "201", Integer, "300"),
                              writeOf("uint", kClassV, "202", Unsigned, "65535"),
                              writeOf("float", kClassV, "300", Float, "1.0"),
                              writeOf("text", kClassV, "400-401", String, "ABC")});
    ASSERT_TRUE(plugin->writeData(&log)) << log.errorText.toStdString();
    EXPECT_EQ(plc->word(kClassV, 200), 0xFFFF);
    EXPECT_EQ(plc->word(kClassV, 201), 0x012C);
    EXPECT_EQ(plc->word(kClassV, 202), 0xFFFF);
    EXPECT_EQ(plc->word(kClassV, 300), 0x3F80);
    EXPECT_EQ(plc->word(kClassV, 301), 0x0000);
    EXPECT_EQ(plc->word(kClassV, 400), 0x4142);
    EXPECT_EQ(plc->word(kClassV, 401), 0x4300);
    EXPECT_EQ(plc->word(kClassV, 402), 0xAAAA); // past the range
    for (const DataItem& data : log.items) {
        EXPECT_TRUE(data.item.errorText.isEmpty()) << data.item.errorText.toStdString();
    }

    const QStringList debug = HostConfig::instance().debugLines();
    ASSERT_EQ(debug.size(), 5);
    EXPECT_EQ(debug[0], QStringLiteral("Writing -1 Item: neg Device: press-7"));
}

TEST_F(PluginTest, DiscreteWritesChangeOnlyBitZero)
{
    plc->setWord(kClassC, 5, 0x1234);
    LogList set = request(7, {writeOf("c5", kClassC, "5", Bit, "1")});
    ASSERT_TRUE(plugin->writeData(&set));
    EXPECT_EQ(plc->word(kClassC, 5), 0x1235);

    LogList clear = request(7, {writeOf("c5", kClassC, "5", Bit, "0")});
    ASSERT_TRUE(plugin->writeData(&clear));
    EXPECT_EQ(plc->word(kClassC, 5), 0x1234);

    LogList y = request(7, {writeOf("y9", kClassY, "9", Integer, "1")});
    ASSERT_TRUE(plugin->writeData(&y));
    EXPECT_EQ(plc->word(kClassY, 9), 0x0001);

    // Each discrete write reads the word first, then writes it back.
    const QList<Frame> writes = frames("06");
    ASSERT_EQ(writes.size(), 3);
    EXPECT_EQ(frames("04").size(), 3);
}

TEST_F(PluginTest, ShorterTextLeavesNoTailBehind)
{
    setText(kClassV, 500, "HELLO WORLD");
    LogList write = request(7, {writeOf("text", kClassV, "500-505", String, "HI")});
    ASSERT_TRUE(plugin->writeData(&write));

    LogList poll = request(7, {entry(memoryItem("text", kClassV, "500-505", String))});
    ASSERT_TRUE(plugin->readData(&poll));
    EXPECT_EQ(valueOf(poll.items[0]), QStringLiteral("HI"));

    LogList empty = request(7, {writeOf("text", kClassV, "500-505", String, "")});
    ASSERT_TRUE(plugin->writeData(&empty));
    for (quint32 a = 500; a <= 505; ++a) {
        EXPECT_EQ(plc->word(kClassV, a), 0);
    }
}

TEST_F(PluginTest, RefusedValuesNeverReachThePlc)
{
    setWords(kClassV, 600, {0x1111, 0x2222, 0x3333});
    plc->setWord(kClassX, 3, 0x00F0);
    struct Refusal
    {
        DataItem data;
        const char* error;
    };
    const QList<Refusal> refusals = {
        {writeOf("empty", kClassV, "600", Integer, ""), "Invalid value"},
        {writeOf("letters", kClassV, "600", Integer, "abc"), "Invalid value"},
        {writeOf("fraction", kClassV, "600", Unsigned, "1.5"), "Invalid value"},
        {writeOf("too big", kClassV, "600", Unsigned, "65536"), "Value out of range"},
        {writeOf("too small", kClassV, "600", Integer, "-32769"), "Value out of range"},
        {writeOf("bit 2", kClassV, "600", Bit, "99999"), "Value out of range"},
        {writeOf("not a float", kClassV, "600", Float, "1.0x"), "Invalid value"},
        {writeOf("empty float", kClassV, "600", Float, ""), "Invalid value"},
        {writeOf("x is 2", kClassX, "3", Bit, "2"), "Invalid value"},
        {writeOf("x text", kClassX, "3", Bit, "on"), "Invalid value"},
        {writeOf("x float", kClassX, "3", Float, "1"), "Data type not writable to X, Y or C"},
        {writeOf("x string", kClassX, "3", String, "1"), "Data type not writable to X, Y or C"},
        {writeOf("too long", kClassV, "600-601", String, "HELLO"), "Value too long"},
        {writeOf("bad range", kClassV, "601-600", String, "A"), "Invalid address"},
        {writeOf("no range", kClassV, "600", String, "A"), "Invalid address"},
        {writeOf("over 255", kClassV, "1-256", String, "A"), "Invalid address"},
        {writeOf("typo", kClassV, "60O", Integer, "1"), "Invalid address"},
        // A set-point is a finite float: no NaN or infinity in any spelling, nothing that would
        // round to infinity.
        {writeOf("nan", kClassV, "600", Float, "nan"), "Invalid value"},
        {writeOf("NaN", kClassV, "600", Float, "NaN"), "Invalid value"},
        {writeOf("-nan", kClassV, "600", Float, "-nan"), "Invalid value"},
        {writeOf("inf", kClassV, "600", Float, "inf"), "Invalid value"},
        {writeOf("-inf", kClassV, "600", Float, "-inf"), "Invalid value"},
        {writeOf("infinity", kClassV, "600", Float, "infinity"), "Invalid value"},
        {writeOf("hex float", kClassV, "600", Float, "0x1p3"), "Invalid value"},
        {writeOf("1e39", kClassV, "600", Float, "1e39"), "Value out of range"},
        {writeOf("-3.5e38", kClassV, "600", Float, "-3.5e38"), "Value out of range"},
        {writeOf("1e400", kClassV, "600", Float, "1e400"), "Value out of range"},
        // A data type that is not a number names no encoding.
        {writeWithType("type Float", "600", "Float", "5"), "Invalid data type"},
        {writeWithType("type 3.0", "600", "3.0", "5"), "Invalid data type"},
        {writeWithType("type three", "600", "three", "5"), "Invalid data type"},
    };
    QList<DataItem> items;
    for (const Refusal& r : refusals) {
        items.append(r.data);
    }
    LogList log = request(7, items);
    ASSERT_TRUE(plugin->writeData(&log));
    for (int i = 0; i < refusals.size(); ++i) {
        EXPECT_EQ(log.items[i].item.errorText, QLatin1String(refusals[i].error))
            << log.items[i].item.uid.toStdString();
    }

    EXPECT_TRUE(frames("06").isEmpty());
    EXPECT_TRUE(frames("04").isEmpty());
    EXPECT_EQ(plc->word(kClassV, 600), 0x1111);
    EXPECT_EQ(plc->word(kClassV, 601), 0x2222);
    EXPECT_EQ(plc->word(kClassX, 3), 0x00F0);
}

TEST_F(PluginTest, FloatsRoundToTheNearestFloatAndTypesReadAsBefore)
{
    setWords(kClassV, 620, {0xAAAA, 0xAAAA, 0xAAAA, 0xAAAA});
    LogList log = request(7, {writeOf("tiny", kClassV, "620", Float, "1e-50"),
                              writeOf("largest", kClassV, "622", Float, "3.4028235e38"),
                              writeOf("subnormal", kClassV, "624", Float, " -1.4e-45 "),
                              writeWithType("empty type", "626", "", "7"),
                              writeWithType("type 3", "627", "3", "+2.5")});
    ASSERT_TRUE(plugin->writeData(&log)) << log.errorText.toStdString();
    for (const DataItem& data : log.items) {
        EXPECT_TRUE(data.item.errorText.isEmpty()) << data.item.errorText.toStdString();
    }
    const QList<quint16> expected = {0x0000, 0x0000, 0x7F7F, 0xFFFF, 0x8000,
                                     0x0001, 0x0007, 0x4020, 0x0000};
    for (int i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(plc->word(kClassV, 620 + quint32(i)), expected[i]) << "V" << 620 + i;
    }
}

TEST_F(PluginTest, IdentityItemsAreNeverWritten)
{
    ItemInstancePlugin identity =
        memoryItem("identity_7_serial", kClassSTW, "__identity.serial", String);
    LogList log = request(7, {entry(identity, "999")});
    EXPECT_TRUE(plugin->writeData(&log));
    EXPECT_EQ(plc->requestCount(), 0);
    EXPECT_TRUE(eventually([&] { return plc->connectionCount() == 1; })); // connected, nothing sent
    EXPECT_TRUE(HostConfig::instance().debugLines().isEmpty());
}

TEST_F(PluginTest, ConnectionLostMidRequestLeavesTheRestUnwritten)
{
    Faults faults;
    faults.closeAfterRequests = 1;
    plc->setFaults(faults);
    LogList log = request(7, {writeOf("a", kClassV, "700", Integer, "1"),
                              writeOf("b", kClassV, "701", Integer, "2"),
                              writeOf("c", kClassV, "702", Integer, "3")});
    EXPECT_FALSE(plugin->writeData(&log));
    EXPECT_FALSE(log.errorText.isEmpty());
    EXPECT_EQ(plc->word(kClassV, 700), 1);
    EXPECT_EQ(plc->word(kClassV, 701), 0);
    EXPECT_EQ(plc->word(kClassV, 702), 0);
    EXPECT_EQ(frames("06").size(), 1);
}

TEST_F(PluginTest, PlcErrorReplyMarksTheItemAndTheWriteGoesOn)
{
    Faults faults;
    faults.errorAddresses = {{kClassV, 800}};
    plc->setFaults(faults);
    LogList log = request(7, {writeOf("bad", kClassV, "800", Integer, "1"),
                              writeOf("good", kClassV, "801", Integer, "2")});
    EXPECT_TRUE(plugin->writeData(&log));
    EXPECT_TRUE(log.items[0].item.errorText.startsWith("Error code: "));
    EXPECT_EQ(plc->word(kClassV, 800), 0);
    EXPECT_EQ(plc->word(kClassV, 801), 2);
}
