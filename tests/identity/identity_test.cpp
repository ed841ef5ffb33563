// Protects the identity items against the host stand-in: their names, which items count as
// identity items, which items a start creates with one reload, and how a poll's values fill them.

#include <gtest/gtest.h>

#include "host_config_scope.h"
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
    firmware.logged = true;
    return {serial, firmware};
}

DeviceInstancePlugin device(int id, const QList<ItemInstancePlugin>& items = {})
{
    DeviceInstancePlugin d;
    d.id = id;
    d.configuredItems = items;
    return d;
}

ItemInstancePlugin item(const QString& uid, const QString& address = QString(),
                        const QString& error = QString())
{
    ItemInstancePlugin i;
    i.uid = uid;
    i.errorText = error;
    if (!address.isNull()) {
        i.columns.insert(QStringLiteral("address_word"), address);
    }
    return i;
}

// Publishes the values into a request of the device with these items, and tells what the
// request then holds: "uid=value @ !error" per entry, the value and the time stamp only when set.
QStringList published(PluginInterface* host, int deviceId, const QList<ItemInstancePlugin>& items,
                      const kib_identity::Values& values)
{
    LogList log;
    log.id = deviceId;
    for (const ItemInstancePlugin& i : items) {
        log.items.append(DataItem(i));
    }
    kib_identity::publishValues(host, &log, values, "address_word");
    QStringList lines;
    for (const DataItem& entry : log.items) {
        lines.append(entry.item.uid);
        if (entry.values.contains(QStringLiteral("value"))) {
            lines.last() += '=' + entry.values.value(QStringLiteral("value"));
        }
        if (entry.timestamp.isValid()) {
            lines.last() += QStringLiteral(" @");
        }
        if (!entry.item.errorText.isEmpty()) {
            lines.last() += QStringLiteral(" !") + entry.item.errorText;
        }
    }
    return lines;
}

class IdentityTest : public ::testing::Test
{
protected:
    kib_test::HostConfigScope host;
    PluginInterface services;
};

} // namespace

TEST(IdentityNaming, UidsAddressesAndRecognition)
{
    EXPECT_EQ(kib_identity::uidFor(7, "serial"), QStringLiteral("identity_7_serial"));
    EXPECT_EQ(kib_identity::fieldKey("__identity.firmware"), QStringLiteral("firmware"));
    EXPECT_EQ(kib_identity::fieldKey("V100"), QString());
    EXPECT_TRUE(kib_identity::isIdentityItem(item("identity_x", "100"), "address_word"));
    EXPECT_TRUE(kib_identity::isIdentityItem(item("tag1", "__identity.firmware"), "address_word"));
    // Both prefixes are case-sensitive.
    EXPECT_FALSE(kib_identity::isIdentityItem(item("tag1", "__Identity.serial"), "address_word"));
    EXPECT_FALSE(kib_identity::isIdentityItem(item("Identity_7_serial"), "address_word"));
    EXPECT_FALSE(kib_identity::isIdentityItem(item("tag1"), "address_word"));
}

TEST_F(IdentityTest, CreatesMissingItemsOnceWithOneReload)
{
    host->setDevices({device(1), device(2), device(0), device(-3)});
    kib_identity::ensureItemsForAllDevices(&services, twoSpecs());
    const QList<ItemInstancePlugin> added = host->addedItems();
    QStringList uids;
    for (const ItemInstancePlugin& i : added) {
        uids << i.uid;
    }
    EXPECT_EQ(uids, QStringList({"identity_1_serial", "identity_1_firmware", "identity_2_serial",
                                 "identity_2_firmware"}));
    EXPECT_EQ(host->reloadRequests(), 1);
    const ItemInstancePlugin& serial = added[0];
    EXPECT_EQ(serial.deviceId, 1);
    EXPECT_EQ(serial.name, QStringLiteral("Serial"));
    EXPECT_TRUE(serial.enabled);
    EXPECT_EQ(serial.itemType, 1);
    EXPECT_EQ(serial.readInterval, 604800000); // a week
    EXPECT_FALSE(serial.logged);
    EXPECT_TRUE(added[1].logged);
    EXPECT_EQ(serial.columns, (QMap<QString, QString>{{"item_tags", "serial"},
                                                      {"address_word", "__identity.serial"}}));

    // A second start finds every item and neither adds nor reloads.
    kib_identity::ensureItemsForAllDevices(&services, twoSpecs());
    EXPECT_EQ(host->addedItems().size(), 4);
    EXPECT_EQ(host->reloadRequests(), 1);

    // One item missing is enough to ask for a reload.
    host->setDevices({device(4, {item("identity_4_serial")})});
    kib_identity::ensureItemsForAllDevices(&services, twoSpecs());
    EXPECT_EQ(host->addedItems().size(), 5);
    EXPECT_EQ(host->reloadRequests(), 2);

    // A host that is already reloading is not asked again.
    host->setDevices({device(3)});
    host->setSetting("plugin_refreshing", "1");
    kib_identity::ensureItemsForAllDevices(&services, twoSpecs());
    EXPECT_EQ(host->addedItems().size(), 7);
    EXPECT_EQ(host->reloadRequests(), 2);
    EXPECT_EQ(kib_identity::ensureItems(&services, 0, twoSpecs()), 0);
    EXPECT_EQ(kib_identity::ensureItems(nullptr, 1, twoSpecs()), 0);
}

TEST_F(IdentityTest, PublishFillsTheRequestAndAppendsTheHostsOtherIdentityItems)
{
    host->setDevices({device(7, {item("identity_7_serial"), item("identity_7_firmware")})});
    const kib_identity::Values both{{"serial", "812"}, {"firmware", "4.10"}};
    // Filled by address; the other is appended.
    EXPECT_EQ(published(&services, 7,
                        {item("v100", "100", "kept"), item("fw", "__identity.firmware", "old")},
                        both),
              QStringList({"v100 !kept", "fw=4.10 @", "identity_7_serial=812 @"}));
    // Filled by uid.
    EXPECT_EQ(published(&services, 7, {item("identity_7_serial")}, both),
              QStringList({"identity_7_serial=812 @", "identity_7_firmware=4.10 @"}));
    // Appended in key order; a key the host has no item for is skipped.
    EXPECT_EQ(published(&services, 7, {item("v100", "100")},
                        {{"model", "2500"}, {"serial", "812"}, {"firmware", "4.10"}}),
              QStringList({"v100", "identity_7_firmware=4.10 @", "identity_7_serial=812 @"}));
    // Blank values are filled in, but never appended.
    EXPECT_EQ(
        published(&services, 7, {item("identity_7_serial")}, {{"serial", "  "}, {"firmware", " "}}),
        QStringList({"identity_7_serial=   @"}));
    // An identity address of a key without a value stays as it was.
    EXPECT_EQ(published(&services, 7, {item("m", "__identity.model", "old")}, {{"serial", "812"}}),
              QStringList({"m !old", "identity_7_serial=812 @"}));
    // Nothing is appended for a device whose items the host does not have.
    EXPECT_EQ(published(&services, 9, {item("v1", "1")}, both), QStringList({"v1"}));
}
