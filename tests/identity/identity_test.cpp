// The identity helpers against the host stand-in: naming, creation, recognition and filling.

#include <gtest/gtest.h>

#include "hostconfig.h"
#include "kib_identity.h"

namespace {

QList<kib_identity::Spec> twoSpecs()
{
    kib_identity::Spec serial;
    serial.key = QStringLiteral("serial");
    serial.name = QStringLiteral("Serial");
    serial.columns.insert(QStringLiteral("address_word"), QStringLiteral("__identity.serial"));
    serial.columns.insert(QStringLiteral("item_tags"), QStringLiteral("overwritten"));
    kib_identity::Spec firmware;
    firmware.key = QStringLiteral("firmware");
    firmware.name = QStringLiteral("Firmware");
    firmware.logged = true;
    return {serial, firmware};
}

DeviceInstancePlugin device(int id)
{
    DeviceInstancePlugin d;
    d.id = id;
    return d;
}

ItemInstancePlugin item(const QString& uid, const QString& address = QString())
{
    ItemInstancePlugin i;
    i.uid = uid;
    if (!address.isNull()) {
        i.columns.insert(QStringLiteral("address_word"), address);
    }
    return i;
}

class IdentityTest : public ::testing::Test
{
protected:
    void SetUp() override { HostConfig::instance().reset(); }
    HostConfig& host = HostConfig::instance();
    PluginInterface services;
};

} // namespace

TEST_F(IdentityTest, NamingAndRecognition)
{
    EXPECT_EQ(kib_identity::uidFor(7, QStringLiteral("serial")),
              QStringLiteral("identity_7_serial"));
    EXPECT_EQ(kib_identity::readIntervalMs(), 604800000);
    EXPECT_EQ(kib_identity::fieldKey(QStringLiteral("__identity.firmware")),
              QStringLiteral("firmware"));
    EXPECT_EQ(kib_identity::fieldKey(QStringLiteral("V100")), QString());

    EXPECT_TRUE(kib_identity::isIdentityItem(item("identity_x", "100"), "address_word"));
    EXPECT_TRUE(kib_identity::isIdentityItem(item("tag1", "__identity.firmware"), "address_word"));
    EXPECT_FALSE(kib_identity::isIdentityItem(item("tag1", "__Identity.serial"), "address_word"));
    EXPECT_FALSE(kib_identity::isIdentityItem(item("Identity_7_serial"), "address_word"));
    EXPECT_FALSE(kib_identity::isIdentityItem(item("tag1"), "address_word"));
}

TEST_F(IdentityTest, CreatesMissingItemsAndAsksForOneReload)
{
    host.setDevices({device(1), device(2), device(0), device(-3)});
    kib_identity::ensureItemsForAllDevices(&services, twoSpecs());

    const QList<ItemInstancePlugin> added = host.addedItems();
    QStringList uids;
    for (const ItemInstancePlugin& i : added) {
        uids << i.uid;
    }
    EXPECT_EQ(uids, QStringList({"identity_1_serial", "identity_1_firmware", "identity_2_serial",
                                 "identity_2_firmware"}));
    EXPECT_EQ(host.reloadRequests(), 1);

    const ItemInstancePlugin& serial = added[0];
    EXPECT_EQ(serial.deviceId, 1);
    EXPECT_EQ(serial.name, QStringLiteral("Serial"));
    EXPECT_TRUE(serial.enabled);
    EXPECT_EQ(serial.itemType, 1);
    EXPECT_EQ(serial.readInterval, 604800000);
    EXPECT_FALSE(serial.logged);
    EXPECT_TRUE(added[1].logged);
    EXPECT_EQ(serial.columns.value("item_tags"), QStringLiteral("serial"));
    EXPECT_EQ(serial.columns.value("address_word"), QStringLiteral("__identity.serial"));

    // A second run finds every item and neither adds nor reloads.
    kib_identity::ensureItemsForAllDevices(&services, twoSpecs());
    EXPECT_EQ(host.addedItems().size(), 4);
    EXPECT_EQ(host.reloadRequests(), 1);
}

TEST_F(IdentityTest, NoReloadWhileTheHostIsRefreshing)
{
    host.setDevices({device(1)});
    host.setSetting(QStringLiteral("plugin_refreshing"), QStringLiteral("1"));
    kib_identity::ensureItemsForAllDevices(&services, twoSpecs());
    EXPECT_EQ(host.addedItems().size(), 2);
    EXPECT_EQ(host.reloadRequests(), 0);
    EXPECT_EQ(kib_identity::ensureItems(&services, 0, twoSpecs()), 0);
    EXPECT_EQ(kib_identity::ensureItems(nullptr, 1, twoSpecs()), 0);
}

TEST_F(IdentityTest, PublishFillsMatchingItemsAndAppendsTheMissingOnes)
{
    DeviceInstancePlugin d = device(7);
    d.configuredItems = {item("identity_7_serial"), item("identity_7_firmware")};
    host.setDevices({d});

    LogList log;
    log.id = 7;
    DataItem memory(item("v100", "100"));
    memory.item.errorText = QStringLiteral("kept");
    DataItem byAddress(item("fw", "__identity.firmware"));
    byAddress.item.errorText = QStringLiteral("old");
    log.items = {memory, byAddress};

    kib_identity::publishValues(&services, &log, {{"serial", "812"}, {"firmware", "4.10"}},
                                "address_word");

    ASSERT_EQ(log.items.size(), 3);
    EXPECT_EQ(log.items[0].item.errorText, QStringLiteral("kept"));
    EXPECT_TRUE(log.items[0].values.isEmpty());
    EXPECT_EQ(log.items[1].values.value("value"), QStringLiteral("4.10"));
    EXPECT_TRUE(log.items[1].item.errorText.isEmpty());
    EXPECT_TRUE(log.items[1].timestamp.isValid());
    // firmware was in the request (by address), so only serial is appended.
    EXPECT_EQ(log.items[2].item.uid, QStringLiteral("identity_7_serial"));
    EXPECT_EQ(log.items[2].values.value("value"), QStringLiteral("812"));
}

TEST_F(IdentityTest, AppendsInKeyOrderAndSkipsBlankOrUnknownValues)
{
    DeviceInstancePlugin d = device(7);
    d.configuredItems = {item("identity_7_serial"), item("identity_7_firmware")};
    host.setDevices({d});

    LogList log;
    log.id = 7;
    log.items = {DataItem(item("v100", "100"))};
    kib_identity::publishValues(&services, &log,
                                {{"serial", "812"}, {"firmware", "4.10"}, {"model", "2500"}},
                                "address_word");
    ASSERT_EQ(log.items.size(), 3);
    EXPECT_EQ(log.items[1].item.uid, QStringLiteral("identity_7_firmware"));
    EXPECT_EQ(log.items[2].item.uid, QStringLiteral("identity_7_serial"));

    // A blank value is written into an item the request holds, but never appended.
    LogList blank;
    blank.id = 7;
    blank.items = {DataItem(item("identity_7_serial"))};
    kib_identity::publishValues(&services, &blank, {{"serial", "  "}, {"firmware", " "}},
                                "address_word");
    ASSERT_EQ(blank.items.size(), 1);
    EXPECT_EQ(blank.items[0].values.value("value"), QStringLiteral("  "));
}
