// The controller's serial number and firmware as identity items: created at init, read from
// STW259..261 in the polls that ask for them.

#include "plugin_fixture.h"

using namespace plugin_test;

namespace {

DeviceInstancePlugin hostDevice(int id, const QStringList& itemUids = {})
{
    DeviceInstancePlugin device;
    device.id = id;
    for (const QString& uid : itemUids) {
        ItemInstancePlugin item;
        item.uid = uid;
        item.deviceId = id;
        device.configuredItems.append(item);
    }
    return device;
}

ItemInstancePlugin identityItem(int deviceId, const char* key)
{
    return memoryItem(QStringLiteral("identity_%1_%2").arg(deviceId).arg(QLatin1String(key)),
                      kClassSTW, QStringLiteral("__identity.") + QLatin1String(key), String);
}

const QByteArray kStwRead = "[04001A000103010003037E]";

} // namespace

// What init() creates for the host; when and how often it asks for a reload is the identity
// helpers' own, tested with them.
TEST_F(PluginTest, InitCreatesIdentityItemsForEveryDevice)
{
    HostConfig::instance().setDevices({hostDevice(1), hostDevice(2, {"identity_2_serial"})});
    ASSERT_TRUE(plugin->init());
    const QList<ItemInstancePlugin> added = HostConfig::instance().addedItems();
    ASSERT_EQ(added.size(), 3);
    EXPECT_EQ(added[0].uid, QStringLiteral("identity_1_serial"));
    EXPECT_EQ(added[0].description, QStringLiteral("CTI 2500 product serial number (STW259)"));
    EXPECT_EQ(added[0].columns, (QMap<QString, QString>{{"address_word", "__identity.serial"},
                                                        {"address_class", "26"},
                                                        {"data_type", "4"},
                                                        {"item_tags", "serial"}}));
    EXPECT_EQ(added[1].name, QStringLiteral("Firmware"));
    EXPECT_EQ(added[2].uid, QStringLiteral("identity_2_firmware"));
    EXPECT_EQ(HostConfig::instance().reloadRequests(), 1);
}

TEST_F(PluginTest, PollsReadTheStatusWordsOnceAndOnlyForIdentityItems)
{
    HostConfig::instance().setDevices(
        {hostDevice(7, {"identity_7_serial", "identity_7_firmware"})});
    plc->setWord(kClassV, 100, 5);
    LogList log = request(7, {entry(identityItem(7, "firmware")),
                              entry(memoryItem("v100", kClassV, "100", Integer))});
    ASSERT_TRUE(plugin->readData(&log));

    const QList<QByteArray> sent = plc->requests();
    ASSERT_EQ(sent.size(), 2);
    EXPECT_EQ(sent[0], kStwRead);
    ASSERT_EQ(log.items.size(), 3);
    EXPECT_EQ(valueOf(log.items[0]), QStringLiteral("4.10"));
    EXPECT_EQ(valueOf(log.items[1]), QStringLiteral("5"));
    EXPECT_EQ(log.items[2].item.uid, QStringLiteral("identity_7_serial"));
    EXPECT_EQ(valueOf(log.items[2]), QStringLiteral("812"));

    // Without identity items no status words are read; with only them, nothing else is.
    plc->resetCounters();
    LogList memoryOnly = request(7, {entry(memoryItem("v100", kClassV, "100", Integer))});
    ASSERT_TRUE(plugin->readData(&memoryOnly));
    ASSERT_EQ(plc->requests().size(), 1);
    EXPECT_NE(plc->requests()[0], kStwRead);
    plc->resetCounters();
    LogList identityOnly = request(7, {entry(identityItem(7, "serial"))});
    ASSERT_TRUE(plugin->readData(&identityOnly));
    EXPECT_EQ(plc->requests(), QList<QByteArray>{kStwRead});
}

// Status words of 0 are "not reported"; a refused identity read is in the fault matrix.
TEST_F(PluginTest, ZeroStatusWordsPublishNothing)
{
    HostConfig::instance().setDevices(
        {hostDevice(7, {"identity_7_serial", "identity_7_firmware"})});
    setWords(kClassSTW, 259, {0, 0, 0});
    LogList zero = request(7, {entry(identityItem(7, "serial"))});
    ASSERT_TRUE(plugin->readData(&zero));
    ASSERT_EQ(zero.items.size(), 1);
    EXPECT_TRUE(zero.items[0].values.isEmpty());
    EXPECT_EQ(zero.items[0].item.errorText,
              QStringLiteral("Not reported by the PLC (its status word holds 0)"));
}

// An item whose uid or address has the identity form but names no identity field of this device is
// neither read nor left silent; the ordinary items of the poll are read as always.
TEST_F(PluginTest, ItemsThatOnlyLookLikeIdentityItemsGetAnError)
{
    setWords(kClassV, 100, {42});
    LogList log = request(7, {entry(memoryItem("identity_check", kClassV, "100", Integer)),
                              entry(memoryItem("identity_8_serial", kClassV, "101", Integer)),
                              entry(memoryItem("colour", kClassSTW, "__identity.colour", String)),
                              entry(memoryItem("v100", kClassV, "100", Integer))});
    ASSERT_TRUE(plugin->readData(&log));
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(log.items[i].values.isEmpty());
        EXPECT_TRUE(log.items[i].item.errorText.startsWith("Not an identity item of this device"))
            << log.items[i].item.errorText.toStdString();
    }
    EXPECT_EQ(valueOf(log.items[3]), QStringLiteral("42"));
    EXPECT_EQ(frames("04").size(), 1); // the memory item alone: no status words for the others
}

TEST_F(PluginTest, IdentityReadThatBreaksTheConnectionReconnectsOnceAndATimeOutEndsThePoll)
{
    Faults faults;
    faults.closeMidReply = true;
    plc->setFaults(faults);
    LogList log = request(
        7, {entry(identityItem(7, "serial")), entry(memoryItem("v100", kClassV, "100", Integer))});
    // The identity read breaks the connection; the poll reconnects and the memory read fails
    // again on the same fault, so the device reports the broken connection.
    EXPECT_FALSE(plugin->readData(&log));
    EXPECT_EQ(log.errorText,
              QStringLiteral("PLC closed the connection while reading a response from the PLC"));
    EXPECT_TRUE(eventually([&] { return plc->connectionCount() == 2; }));
    EXPECT_EQ(plc->requestCount(), 2);

    // A module that does not answer the identity read in time costs one time-out: the poll ends
    // there, without reconnecting for the blocks.
    plugin->stopPlugin();
    plc->resetCounters();
    faults = Faults();
    faults.silent = true;
    plc->setFaults(faults);
    LogList frozen = request(
        7, {entry(identityItem(7, "serial")), entry(memoryItem("v100", kClassV, "100", Integer))});
    frozen.columns.insert(QStringLiteral("timeout"), QStringLiteral("100"));
    EXPECT_FALSE(plugin->readData(&frozen));
    EXPECT_EQ(frozen.errorText, QStringLiteral("Timed out while reading a response from the PLC"));
    EXPECT_EQ(frozen.items[1].item.errorText, frozen.errorText);
    EXPECT_TRUE(plc->waitForRequests(1));
    EXPECT_EQ(plc->requestCount(), 1);
    EXPECT_EQ(plc->connectionCount(), 1);
}
