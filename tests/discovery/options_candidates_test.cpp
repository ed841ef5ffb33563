// Protects what the host sees of discovery: how its JSON request is read (defaults, bounds, the
// three key levels, the port-list grammar) and the exact JSON of each candidate.

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>

#include "camp_discovery.h"
#include "qt_printers.h"

using namespace CampDiscovery;

namespace {

using Ports = QList<quint16>;

QJsonObject json(const char* text)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray(text), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << text;
    return document.object();
}

QString portsText(const Ports& ports)
{
    QStringList texts;
    for (quint16 p : ports) {
        texts.append(QString::number(p));
    }
    return texts.join(QStringLiteral(", "));
}

Ports range(int from, int to)
{
    Ports ports;
    for (int p = from; p <= to; ++p) {
        ports.append(static_cast<quint16>(p));
    }
    return ports;
}

} // namespace

TEST(DiscoveryOptions, EmptyRequestTakesTheDefaults)
{
    const Options parsed = optionsFromRequest(QJsonObject(), nullptr);
    EXPECT_EQ(parsed.timeoutMs, 60000);
    EXPECT_EQ(parsed.networkInterface, QStringLiteral("eth0"));
    EXPECT_EQ(parsed.tcpPorts, Ports({4450}));
    EXPECT_TRUE(parsed.tcpSubnetScan);
    EXPECT_TRUE(parsed.existingUids.isEmpty());
    EXPECT_TRUE(parsed.hosts.isEmpty());

    // A constructed record is not the same as a parsed empty request.
    const Options constructed;
    EXPECT_EQ(constructed.timeoutMs, 60000);
    EXPECT_TRUE(constructed.networkInterface.isEmpty());
    EXPECT_TRUE(constructed.tcpPorts.isEmpty());
    EXPECT_TRUE(constructed.tcpSubnetScan);

    QStringList log;
    optionsFromRequest(json(R"j({"timeout_ms": "abc", "tcp_ports": "x"})j"), &log);
    EXPECT_TRUE(log.isEmpty());
}

TEST(DiscoveryOptions, WindowIsBounded)
{
    struct Row
    {
        const char* request;
        int timeoutMs;
    };
    const Row rows[] = {
        {R"j({"timeout_ms": "5000"})j", 5000},
        {R"j({"timeout_ms": 999})j", 1000},
        {R"j({"timeout_ms": "1"})j", 1000},
        {R"j({"timeout_ms": 300001})j", 300000},
        {R"j({"timeout_ms": "0"})j", 60000},
        {R"j({"timeout_ms": -5})j", 60000},
        {R"j({"timeout_ms": "abc"})j", 60000},
        {R"j({"timeout_ms": "1500.5"})j", 60000},
        {R"j({"timeout_ms": 1500.6})j", 1501},
        {R"j({"timeout_ms": 0.4})j", 60000},
        {R"j({"timeout_ms": "99999999999"})j", 60000},
        {R"j({"timeout_ms": " 2000 "})j", 2000},
        {R"j({"timeout_ms": true})j", 1000},
        {R"j({"timeout_ms": null})j", 60000},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(optionsFromRequest(json(row.request), nullptr).timeoutMs, row.timeoutMs)
            << row.request;
    }
}

TEST(DiscoveryOptions, KeysAreLookedUpAtThreeLevelsInOrder)
{
    struct Row
    {
        const char* request;
        const char* networkInterface;
        int timeoutMs;
    };
    const Row rows[] = {
        {R"j({"network_interface": ""})j", "", 60000},
        {R"j({"options": {"network_interface": null}})j", "", 60000},
        {R"j({"network_interface": "", "options": {"network_interface": "ens3"}})j", "ens3", 60000},
        {R"j({"network_interface": "top", "user_defined_fields": {"network_interface": "udf"}})j",
         "top", 60000},
        {R"j({"network_interface": " ", "user_defined_fields": {"network_interface": "udf"}})j",
         "udf", 60000},
        {R"j({"options": {"network_interface": "opt", "timeout_ms": ""},
             "user_defined_fields": {"network_interface": "udf", "timeout_ms": 2000}})j",
         "opt", 2000},
        {R"j({"options": "not an object", "user_defined_fields": {"timeout_ms": "3000"}})j", "eth0",
         3000},
        {R"j({"network_interface": 7})j", "7", 60000},
    };
    for (const Row& row : rows) {
        const Options options = optionsFromRequest(json(row.request), nullptr);
        EXPECT_EQ(options.networkInterface, QString::fromLatin1(row.networkInterface))
            << row.request;
        EXPECT_EQ(options.timeoutMs, row.timeoutMs) << row.request;
    }
}

TEST(DiscoveryOptions, ScanSwitchSpellings)
{
    struct Row
    {
        const char* request;
        bool on;
    };
    const Row rows[] = {
        {R"j({"tcp_subnet_scan": false})j", false},
        {R"j({"tcp_subnet_scan": 0})j", false},
        {R"j({"tcp_subnet_scan": "0"})j", false},
        {R"j({"tcp_subnet_scan": " FaLsE "})j", false},
        {R"j({"options": {"tcp_subnet_scan": "false"}})j", false},
        {R"j({"tcp_subnet_scan": 0.2})j", false},
        {R"j({"tcp_subnet_scan": true})j", true},
        {R"j({"tcp_subnet_scan": "no"})j", true},
        {R"j({"tcp_subnet_scan": ""})j", true},
        {R"j({"tcp_subnet_scan": "00"})j", true},
        {R"j({"tcp_subnet_scan": []})j", true},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(optionsFromRequest(json(row.request), nullptr).tcpSubnetScan, row.on)
            << row.request;
    }
}

TEST(DiscoveryOptions, ExistingDevicesGiveUids)
{
    const Options options = optionsFromRequest(json(R"j({
        "existing_devices": [
            {"uid_hint": "hint-a", "uid": "uid-a"},
            {"uid": "uid-b"},
            {"address": "10.0.0.5"},
            {"address": "10.0.0.6", "port": "4451", "uid_hint": "dev6"},
            {"address": "10.0.0.7", "port": 0},
            {"address": "10.0.0.8", "port": "abc"},
            {"address": "10.0.0.9", "port": 70000},
            {"options": {"address": "10.0.0.10", "port": 4480}},
            "not an object", 42, null,
            {"uid": "uid-a"}
        ],
        "options": {"existing_devices": [{"uid": "ignored-options"}]},
        "user_defined_fields": {"existing_devices": [{"uid": "ignored-udf"}]}
    })j"),
                                               nullptr);
    EXPECT_EQ(options.existingUids, QStringList({
                                        "hint-a",
                                        "uid-b",
                                        "camp_nitp_10_0_0_5_4450",
                                        "dev6",
                                        "camp_nitp_10_0_0_6_4451",
                                        "camp_nitp_10_0_0_7_4450",
                                        "camp_nitp_10_0_0_8_4450",
                                        "camp_nitp_10_0_0_9_4464", // 70000 wraps to 4464
                                        "camp_nitp_10_0_0_10_4480",
                                        "uid-a",
                                    }));
    EXPECT_TRUE(optionsFromRequest(json(R"j({"existing_devices": {"uid": "x"}})j"), nullptr)
                    .existingUids.isEmpty());
}

TEST(DiscoveryOptions, PortListTable)
{
    struct Row
    {
        const char* text;
        Ports ports;
    };
    const Row rows[] = {
        {"4450", {4450}},
        {"4450-4451, 4480", {4480, 4450, 4451}},
        {"4451-4450", {4450, 4451}},
        {"4450 - 4451", {4450, 4451}},
        {"4450, 4450, 4450-4451", {4450, 4451}},
        {"1-100", range(1, 64)},
        {"0", {4450}},
        {"65536", {4450}},
        {"abc", {4450}},
        {"-4450", {4450}},
        {"4450-", {4450}},
        {"4450-4451-4452", {4450}},
        {"", {4450}},
        {",,,", {4450}},
        {"65534-99999999", {65534, 65535}},
        {"-5-3", {4450}},
        {"0-2", {1, 2}},
        {" 502 ,,4450", {502, 4450}},
        {"10-12, 11-13", {10, 11, 12, 13}},
    };
    for (const Row& row : rows) {
        const Ports ports = parsePortList(QString::fromLatin1(row.text), {4450});
        EXPECT_EQ(ports, row.ports)
            << "text \"" << row.text << "\": expected " << portsText(row.ports).toStdString()
            << ", got " << portsText(ports).toStdString();
    }
    EXPECT_TRUE(parsePortList(QString(), Ports()).isEmpty());
    EXPECT_EQ(parsePortList("x", {1, 2}), Ports({1, 2}));

    // 64 single ports fill the list; later singles and whole ranges are dropped.
    QStringList many;
    for (int p = 1000; p < 1070; ++p) {
        many.append(QString::number(p));
    }
    many.append(QStringLiteral("1-5"));
    EXPECT_EQ(parsePortList(many.join(','), {4450}), range(1000, 1063));

    // The request reads the list from any level; an array has no text and gives the default.
    EXPECT_EQ(
        optionsFromRequest(json(R"j({"options": {"tcp_ports": "4450-4451"}})j"), nullptr).tcpPorts,
        Ports({4450, 4451}));
    EXPECT_EQ(optionsFromRequest(json(R"j({"tcp_ports": [4451]})j"), nullptr).tcpPorts,
              Ports({4450}));
    EXPECT_EQ(optionsFromRequest(json(R"j({"tcp_ports": 4480})j"), nullptr).tcpPorts,
              Ports({4480}));
}

TEST(DiscoveryCandidates, JsonObjects)
{
    struct Row
    {
        const char* name;
        Candidate candidate;
        const char* expected;
    };
    auto candidate = [](const char* address, quint16 port, const char* v0Word, const char* serial,
                        const char* firmware, bool protocolError) {
        Candidate c;
        c.address = QString::fromLatin1(address);
        c.port = port;
        c.v0Word = QString::fromLatin1(v0Word);
        c.serial = QString::fromLatin1(serial);
        c.firmware = QString::fromLatin1(firmware);
        c.protocolError = protocolError;
        return c;
    };
    const Row rows[] = {
        {"serial and firmware", candidate("192.168.1.20", 4450, "00A1", "812", "4.10", false),
         R"j({"external_id": "camp_nitp_192_168_1_20_4450", "uid_hint": "camp_nitp_192_168_1_20_4450",
             "name": "812 (192.168.1.20)",
             "description": "CAMP NITP at 192.168.1.20:4450, serial 812, firmware 4.10",
             "address": "192.168.1.20",
             "user_defined_fields": {"port": "4450", "timeout": "10000"}})j"},
        {"nothing known", candidate("10.0.0.5", 4451, "", "", "", false),
         R"j({"external_id": "camp_nitp_10_0_0_5_4451", "uid_hint": "camp_nitp_10_0_0_5_4451",
             "name": "CAMP (10.0.0.5)", "description": "CAMP NITP at 10.0.0.5:4451",
             "address": "10.0.0.5", "user_defined_fields": {"port": "4451", "timeout": "10000"}})j"},
        {"data word only", candidate("10.0.0.5", 4451, "00A1", "", "", false),
         R"j({"external_id": "camp_nitp_10_0_0_5_4451", "uid_hint": "camp_nitp_10_0_0_5_4451",
             "name": "CAMP (10.0.0.5)", "description": "CAMP NITP at 10.0.0.5:4451 V0=00A1",
             "address": "10.0.0.5", "user_defined_fields": {"port": "4451", "timeout": "10000"}})j"},
        {"protocol error", candidate("10.0.0.5", 4451, "", "", "", true),
         R"j({"external_id": "camp_nitp_10_0_0_5_4451", "uid_hint": "camp_nitp_10_0_0_5_4451",
             "name": "CAMP (10.0.0.5)",
             "description": "CAMP NITP at 10.0.0.5:4451 (protocol error on identify)",
             "address": "10.0.0.5", "user_defined_fields": {"port": "4451", "timeout": "10000"}})j"},
        {"port 0", candidate("10.0.0.5", 0, "", "", "", false),
         R"j({"external_id": "camp_nitp_10_0_0_5_4450", "uid_hint": "camp_nitp_10_0_0_5_4450",
             "name": "CAMP (10.0.0.5)", "description": "CAMP NITP at 10.0.0.5:4450",
             "address": "10.0.0.5", "user_defined_fields": {"port": "4450", "timeout": "10000"}})j"},
        {"serial without firmware hides the data word",
         candidate("10.0.0.5", 4450, "00A1", "77", "", false),
         R"j({"external_id": "camp_nitp_10_0_0_5_4450", "uid_hint": "camp_nitp_10_0_0_5_4450",
             "name": "77 (10.0.0.5)", "description": "CAMP NITP at 10.0.0.5:4450, serial 77",
             "address": "10.0.0.5", "user_defined_fields": {"port": "4450", "timeout": "10000"}})j"},
        {"firmware without serial, error last", candidate("10.0.0.5", 4450, "", "", "3.12", true),
         R"j({"external_id": "camp_nitp_10_0_0_5_4450", "uid_hint": "camp_nitp_10_0_0_5_4450",
             "name": "CAMP (10.0.0.5)",
             "description": "CAMP NITP at 10.0.0.5:4450, firmware 3.12 (protocol error on identify)",
             "address": "10.0.0.5", "user_defined_fields": {"port": "4450", "timeout": "10000"}})j"},
        {"odd characters and placeholders stay in the texts",
         candidate("plc-%1 #2.local", 4450, "", "%2", "", false),
         R"j({"external_id": "camp_nitp_plc12_local_4450", "uid_hint": "camp_nitp_plc12_local_4450",
             "name": "%2 (plc-%1 #2.local)",
             "description": "CAMP NITP at plc-%1 #2.local:4450, serial %2",
             "address": "plc-%1 #2.local",
             "user_defined_fields": {"port": "4450", "timeout": "10000"}})j"},
    };
    for (const Row& row : rows) {
        const QJsonObject actual = candidateToJson(row.candidate);
        const QJsonObject expected = json(row.expected);
        EXPECT_EQ(actual, expected)
            << row.name << "\nexpected " << QJsonDocument(expected).toJson().toStdString()
            << "actual   " << QJsonDocument(actual).toJson().toStdString();
    }
}

TEST(DiscoveryCandidates, UidForCleansTheHost)
{
    EXPECT_EQ(uidFor("192.168.1.20", 4450), QStringLiteral("camp_nitp_192_168_1_20_4450"));
    EXPECT_EQ(uidFor("fe80::1", 4480), QStringLiteral("camp_nitp_fe80__1_4480"));
    EXPECT_EQ(uidFor("", 0), QStringLiteral("camp_nitp__4450"));
    EXPECT_EQ(uidFor(QString::fromUtf8("plc-\xC3\xA9t\xC3\xA9_1"), 1),
              QStringLiteral("camp_nitp_plct_1_1"));
    EXPECT_EQ(uidFor("PLC.Line", 65535), QStringLiteral("camp_nitp_PLC_Line_65535"));
}
