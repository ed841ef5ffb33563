// The configuration check: the mistakes people make writing a project by hand, each told once, in
// one line that names the device, the item, the column, its value and what is allowed, on standard
// error and in the host's log. Nothing in the configuration is changed.

#include "plugin_fixture.h"

using namespace plugin_test;

namespace {

ItemInstancePlugin itemWith(const char* uid, const QMap<QString, QString>& columns)
{
    ItemInstancePlugin item;
    item.uid = QLatin1String(uid);
    item.columns = columns;
    return item;
}

QStringList linesOf(const QString& device)
{
    QStringList lines;
    for (const QString& line : HostConfig::instance().debugLines()) {
        if (line.startsWith(device)) {
            lines.append(line);
        }
    }
    return lines;
}

} // namespace

TEST_F(PluginTest, TheConfigurationCheckNamesEveryMistakeOnce)
{
    DeviceInstancePlugin device;
    device.id = 7;
    device.name = QStringLiteral("press-1");
    device.columns = {{"port", "1445O"},
                      {"timeout", "2s"},
                      {"connections", "9"},
                      {"offscan_after", "-1"},
                      {"offscan_retry_ms", "100000000"},
                      {"max_block_words", "0"},
                      {"max_gap_words", "17"},
                      {"colums", "x"},
                      {"conections", "2"},
                      {"max_blok_words", "64"},
                      {"timeout_", "5"}}; // one letter from "timeout", two from "timeout_ms"
    device.configuredItems = {
        itemWith("oil_temp", {{"address_class", "V"}, {"address_word", "100"}, {"data_type", "3"}}),
        itemWith("count", {{"address_class", "1"}, {"address_word", "V100"}, {"data_type", "1"}}),
        itemWith("mode", {{"address_class", "1"}, {"address_word", "100"}, {"data_type", "9"}}),
        itemWith("plain", {{"address_class", "1"}, {"address_word", "100"}}),
        itemWith("typo", {{"adress_class", "1"},
                          {"address_class", "1"},
                          {"address_word", "100"},
                          {"data_type", "1"}}),
        itemWith("health", {{"address_word", "__status.colour"}}),
        itemWith("identity_8_serial", {{"address_word", "5"}}),
        itemWith("fine", {{"address_class", "1"}, {"address_word", "40.3"}, {"data_type", "0"}}),
        itemWith("recipe", {{"address_class", "1"}, {"address_word", "1-300"}, {"data_type", "4"}}),
    };
    HostConfig::instance().setDevices({device});
    ASSERT_TRUE(plugin->init());
    const QString types = QStringLiteral(
        "a type number is expected: 0 Bit, 1 Integer, 2 Unsigned integer, 3 Float, 4 String, 5 "
        "Long integer, 6 Unsigned long integer");
    const QStringList expected = {
        "press-1: port \"1445O\" is not a port number from 1 to 65535; nothing is sent",
        "press-1: timeout \"2s\" is not a number from 1 to 86400000; 10000 is used",
        "press-1: connections \"9\" is more than 8; 8 is used",
        "press-1: offscan_after \"-1\" is not a number from 0 to 1000000; 3 is used",
        "press-1: offscan_retry_ms \"100000000\" is more than 86400000; 86400000 is used",
        "press-1: max_block_words \"0\" is not a number from 1 to 256; 256 is used",
        "press-1: max_gap_words \"17\" is more than 16; 16 is used",
        "press-1: column \"colums\" is not one the plugin reads",
        "press-1: column \"conections\" is not one the plugin reads; a typo of \"connections\"?",
        "press-1: column \"max_blok_words\" is not one the plugin reads; a typo of "
        "\"max_block_words\"?",
        "press-1: column \"timeout_\" is not one the plugin reads; a typo of \"timeout\"?",
        "press-1 item oil_temp: address_class \"V\": a class number is expected; V is 1",
        "press-1 item count: address_word \"V100\": a word number from 0 to 16777215 is expected",
        "press-1 item mode: data_type \"9\": " + types,
        "press-1 item plain: data_type \"\": " + types,
        "press-1 item typo: column \"adress_class\" is not one the plugin reads; a typo of "
        "\"address_class\"?",
        "press-1 item health: address_word \"__status.colour\" is no status of the device",
        "press-1 item identity_8_serial: Not an identity item of this device (uids that start "
        "with identity_ and addresses that start with __identity. are kept for them)",
        "press-1 item recipe: address_word \"1-300\": a String read by a poll holds at most 256 "
        "words",
    };
    EXPECT_EQ(linesOf("press-1"), expected);

    // A poll of the same records tells nothing again; an item changed since is checked again.
    const int seen = linesOf("press-1").size();
    LogList poll = request(7, {entry(device.configuredItems[1]), entry(device.configuredItems[7])});
    poll.name = device.name;
    plugin->readData(&poll);
    LogList newRecords = withNewRecords(poll); // nor does a poll of new records of that content
    plugin->readData(&newRecords);
    EXPECT_EQ(linesOf("press-1").mid(seen), QStringList());
    poll.items[1].item.columns[QStringLiteral("address_word")] = QStringLiteral("40.16");
    plugin->readData(&poll);
    newRecords = withNewRecords(poll);
    plugin->readData(&newRecords);
    plugin->writeData(&newRecords);
    EXPECT_EQ(linesOf("press-1").mid(seen),
              QStringList({"press-1 item fine: address_word \"40.16\": a word number and a bit "
                           "from 0 to 15 are expected, for example 40.3"}));
    EXPECT_EQ(device.configuredItems[0].columns.value("address_class"), "V"); // left as it was

    // A host that fills in a default for a column after init changes the device's columns, not
    // its mistakes: nothing is told again, but a changed value is.
    const int told = linesOf("press-1").size();
    newRecords.columns.insert(QStringLiteral("offscan_after"), QStringLiteral("3"));
    newRecords.columns.insert(QStringLiteral("max_gap_words"), QStringLiteral("16"));
    plugin->readData(&newRecords);
    EXPECT_EQ(linesOf("press-1").mid(told), QStringList());
    newRecords.columns.insert(QStringLiteral("timeout"), QStringLiteral("3s"));
    plugin->readData(&newRecords);
    EXPECT_EQ(linesOf("press-1").mid(told),
              QStringList({"press-1: timeout \"3s\" is not a number from 1 to 86400000; 10000 is "
                           "used"}));
}
