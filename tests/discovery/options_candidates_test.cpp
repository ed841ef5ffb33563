// Protects what the host sees of discovery: how its JSON request is read (defaults, bounds, the
// three key levels, the port-list grammar, the known devices) and the exact JSON of a candidate.

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

Ports range(int from, int to)
{
    Ports ports;
    for (int p = from; p <= to; ++p) {
        ports.append(static_cast<quint16>(p));
    }
    return ports;
}

// What differs from the options of an empty request, for example "window=5000 ports=1505 off".
QString changes(const Options& options)
{
    QStringList parts;
    QStringList ports;
    for (quint16 port : options.tcpPorts) {
        ports.append(QString::number(port));
    }
    if (options.timeoutMs != 60000) {
        parts.append(QStringLiteral("window=%1").arg(options.timeoutMs));
    }
    if (options.networkInterface != QLatin1String("eth0")) {
        parts.append(QStringLiteral("interface=") + options.networkInterface);
    }
    if (ports.join(',') != QLatin1String("4450")) {
        parts.append(QStringLiteral("ports=") + ports.join(','));
    }
    if (!options.tcpSubnetScan) {
        parts.append(QStringLiteral("off"));
    }
    return parts.join(' ');
}

} // namespace

TEST(DiscoveryOptions, RequestsTable)
{
    struct Row
    {
        const char* name;
        const char* request;
        const char* expected;
    };
    const Row rows[] = {
        {"nothing: the defaults", "{}", ""},
        {"window below 1000", R"j({"timeout_ms": 999})j", "window=1000"},
        {"window above 300000", R"j({"timeout_ms": 300001})j", "window=300000"},
        {"window 0", R"j({"timeout_ms": "0"})j", ""},
        {"negative window", R"j({"timeout_ms": -5})j", ""},
        {"window not a number", R"j({"timeout_ms": "abc"})j", ""},
        {"window text with a fraction", R"j({"timeout_ms": "1500.5"})j", ""},
        {"window number rounded", R"j({"timeout_ms": 1500.6})j", "window=1501"},
        {"window rounded to 0", R"j({"timeout_ms": 0.4})j", ""},
        {"window past int", R"j({"timeout_ms": "99999999999"})j", ""},
        {"window trimmed", R"j({"timeout_ms": " 2000 "})j", "window=2000"},
        {"window true", R"j({"timeout_ms": true})j", "window=1000"},
        {"empty interface: all", R"j({"network_interface": ""})j", "interface="},
        {"null interface: all", R"j({"options": {"network_interface": null}})j", "interface="},
        {"options under an empty top",
         R"j({"network_interface": "", "options": {"network_interface": "ens3"}})j",
         "interface=ens3"},
        {"top before fields",
         R"j({"network_interface": "top", "user_defined_fields": {"network_interface": "udf"}})j",
         "interface=top"},
        {"blank top gives way",
         R"j({"network_interface": " ", "user_defined_fields": {"network_interface": "udf"}})j",
         "interface=udf"},
        {"options before fields, per key",
         R"j({"options": {"network_interface": "opt", "timeout_ms": ""},
             "user_defined_fields": {"network_interface": "udf", "timeout_ms": 2000}})j",
         "window=2000 interface=opt"},
        {"options not an object",
         R"j({"options": "x", "user_defined_fields": {"timeout_ms": "3000"}})j", "window=3000"},
        {"interface as a number", R"j({"network_interface": 7})j", "interface=7"},
        {"scan false", R"j({"tcp_subnet_scan": false})j", "off"},
        {"scan FaLsE", R"j({"tcp_subnet_scan": " FaLsE "})j", "off"},
        {"scan 0.2 rounds to 0", R"j({"tcp_subnet_scan": 0.2})j", "off"},
        {"scan empty", R"j({"tcp_subnet_scan": ""})j", ""},
        {"scan 00", R"j({"tcp_subnet_scan": "00"})j", ""},
        {"scan array", R"j({"tcp_subnet_scan": []})j", ""},
        {"ports: singles first", R"j({"tcp_ports": "4450-4451, 4480"})j", "ports=4480,4450,4451"},
        {"ports: reversed range", R"j({"tcp_ports": "4451-4450"})j", "ports=4450,4451"},
        {"ports: spaced range", R"j({"tcp_ports": "4450 - 4451"})j", "ports=4450,4451"},
        {"ports: repeats", R"j({"tcp_ports": "4450, 4450, 4450-4451"})j", "ports=4450,4451"},
        {"ports: 0", R"j({"tcp_ports": "0"})j", ""},
        {"ports: 65536", R"j({"tcp_ports": "65536"})j", ""},
        {"ports: text", R"j({"tcp_ports": "abc"})j", ""},
        {"ports: negative", R"j({"tcp_ports": "-4450"})j", ""},
        {"ports: range with a leading dash", R"j({"tcp_ports": "-4450-4451"})j", ""},
        {"ports: open range", R"j({"tcp_ports": "4450-"})j", ""},
        {"ports: two dashes", R"j({"tcp_ports": "4450-4451-4452"})j", ""},
        {"ports: range past 65535", R"j({"tcp_ports": "65534-99999999"})j", "ports=65534,65535"},
        {"ports: range from 0", R"j({"tcp_ports": "0-2"})j", "ports=1,2"},
        {"ports: empty piece", R"j({"tcp_ports": " 502 ,,4450"})j", "ports=502,4450"},
        {"ports: overlapping ranges", R"j({"tcp_ports": "10-12, 11-13"})j", "ports=10,11,12,13"},
    };
    for (const Row& row : rows) {
        QStringList log;
        const Options options = optionsFromRequest(json(row.request), &log);
        EXPECT_EQ(changes(options), QString::fromLatin1(row.expected))
            << row.name << ": " << row.request;
        EXPECT_TRUE(log.isEmpty() && options.hosts.isEmpty() && options.existingUids.isEmpty())
            << row.name;
    }

    // At most 64 ports: the range stops there, later singles and whole ranges are dropped.
    EXPECT_EQ(parsePortList("1-100", {4450}), range(1, 64));
    QStringList many;
    for (int p = 1000; p < 1070; ++p) {
        many.append(QString::number(p));
    }
    EXPECT_EQ(parsePortList(many.join(',') + ",1-5", {4450}), range(1000, 1063));
    EXPECT_TRUE(parsePortList(QString(), Ports()).isEmpty());
    EXPECT_EQ(parsePortList("x", {1, 2}), Ports({1, 2}));
    // A constructed record scans every interface, on no port.
    EXPECT_EQ(changes(Options()), QStringLiteral("interface= ports="));
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
    EXPECT_EQ(options.existingUids,
              QStringList({"hint-a", "uid-b", "camp_nitp_10_0_0_5_4450", "dev6",
                           "camp_nitp_10_0_0_6_4451", "camp_nitp_10_0_0_7_4450",
                           "camp_nitp_10_0_0_8_4450",
                           "camp_nitp_10_0_0_9_4464", // 70000 wraps to 4464
                           "camp_nitp_10_0_0_10_4480", "uid-a"}));
    EXPECT_TRUE(optionsFromRequest(json(R"j({"existing_devices": {"uid": "x"}})j"), nullptr)
                    .existingUids.isEmpty());
}

TEST(DiscoveryCandidates, JsonObjects)
{
    struct Row
    {
        const char* name;
        Candidate candidate;
        const char* uid;
        const char* port;
        const char* displayName;
        const char* about; // the expected text that tells the candidate apart
    };
    const Row rows[] = {
        {"serial and firmware", Candidate{"192.168.1.20", 4450, "00A1", "812", "4.10", false},
         "camp_nitp_192_168_1_20_4450", "4450", "812 (192.168.1.20)",
         "CAMP NITP at 192.168.1.20:4450, serial 812, firmware 4.10"},
        {"nothing known", Candidate{"10.0.0.5", 4451, "", "", "", false}, "camp_nitp_10_0_0_5_4451",
         "4451", "CAMP (10.0.0.5)", "CAMP NITP at 10.0.0.5:4451"},
        {"data word only", Candidate{"10.0.0.5", 4451, "00A1", "", "", false},
         "camp_nitp_10_0_0_5_4451", "4451", "CAMP (10.0.0.5)",
         "CAMP NITP at 10.0.0.5:4451 V0=00A1"},
        {"protocol error", Candidate{"10.0.0.5", 4451, "00A1", "", "", true},
         "camp_nitp_10_0_0_5_4451", "4451", "CAMP (10.0.0.5)",
         "CAMP NITP at 10.0.0.5:4451 (protocol error on identify)"},
        {"port 0", Candidate{"10.0.0.5", 0, "", "", "", false}, "camp_nitp_10_0_0_5_4450", "4450",
         "CAMP (10.0.0.5)", "CAMP NITP at 10.0.0.5:4450"},
        {"serial hides the data word", Candidate{"10.0.0.5", 4450, "00A1", "77", "", false},
         "camp_nitp_10_0_0_5_4450", "4450", "77 (10.0.0.5)",
         "CAMP NITP at 10.0.0.5:4450, serial 77"},
        {"firmware hides the data word", Candidate{"10.0.0.5", 4450, "00A1", "", "3.12", true},
         "camp_nitp_10_0_0_5_4450", "4450", "CAMP (10.0.0.5)",
         "CAMP NITP at 10.0.0.5:4450, firmware 3.12 (protocol error on identify)"},
        {"odd characters and placeholders", Candidate{"plc-%1 #2.local", 1, "", "%2", "", false},
         "camp_nitp_plc12_local_1", "1", "%2 (plc-%1 #2.local)",
         "CAMP NITP at plc-%1 #2.local:1, serial %2"},
    };
    for (const Row& row : rows) {
        const QJsonObject expected{
            {"external_id", row.uid},
            {"uid_hint", row.uid},
            {"name", row.displayName},
            {"description", row.about},
            {"address", row.candidate.address},
            {"user_defined_fields", QJsonObject{{"port", row.port}, {"timeout", "10000"}}}};
        const QJsonObject actual = candidateToJson(row.candidate);
        EXPECT_EQ(actual, expected)
            << row.name << ": " << QJsonDocument(actual).toJson().constData();
    }
    EXPECT_EQ(uidFor("fe80::1", 4480), QStringLiteral("camp_nitp_fe80__1_4480"));
    EXPECT_EQ(uidFor("", 0), QStringLiteral("camp_nitp__4450"));
    EXPECT_EQ(uidFor(QString::fromUtf8("plc-\xC3\xA9t\xC3\xA9_1"), 1),
              QStringLiteral("camp_nitp_plct_1_1"));
    EXPECT_EQ(uidFor("PLC.Line", 65535), QStringLiteral("camp_nitp_PLC_Line_65535"));
}
