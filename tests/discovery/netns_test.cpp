// Protects the subnet scan on real interfaces without touching this machine's own: every test
// creates a private network namespace with 10.77.x.x addresses on ifb interfaces (they drop what
// they are given, like a quiet subnet), moves its thread into it, and deletes it afterwards.
// Threads started inside (simulated PLCs, scan workers) stay in the namespace.

#include <gtest/gtest.h>

#include "camp_discovery.h"
#include "network_namespace.h"
#include "qt_printers.h"
#include "simulated_plc.h"

#include <QElapsedTimer>
#include <QJsonArray>

#include <cstdio>
#include <memory>

using namespace CampDiscovery;
using kib_test::NetworkNamespace;

namespace {

class InNamespace : public ::testing::Test
{
protected:
    void TearDown() override
    {
        plcs.clear(); // stop the simulators before their addresses go away
        ns.reset();
    }

    // Creates the namespace with the given quiet interfaces; skips the test where it cannot.
    void createNamespace(const QStringList& interfaces)
    {
        ns = std::make_unique<NetworkNamespace>(NetworkNamespace::uniqueName("kib_discovery"));
        const QString reason = ns->create();
        if (!reason.isEmpty()) {
            GTEST_SKIP() << "Skipping: " << reason.toStdString();
        }
        for (const QString& interface : interfaces) {
            ASSERT_TRUE(ns->addQuietInterface(interface)) << interface.toStdString();
        }
    }

    void address(const QString& interface, const QString& cidr)
    {
        ASSERT_TRUE(ns->addAddress(interface, cidr)) << cidr.toStdString();
    }

    void enter() { ASSERT_TRUE(ns->enter()) << "not inside the test's own namespace"; }

    camp_sim::SimulatedPlc* startPlc(quint16 serial, const QString& host, quint16 port)
    {
        camp_sim::PlcConfig config;
        config.serial = serial;
        config.firmwareMajor = 4;
        config.firmwareMinor = 10;
        plcs.push_back(std::make_unique<camp_sim::SimulatedPlc>(config));
        camp_sim::SimulatedPlc* plc = plcs.back().get();
        EXPECT_TRUE(plc->start(host, port)) << plc->lastError().toStdString();
        return plc;
    }

    std::unique_ptr<NetworkNamespace> ns;
    std::vector<std::unique_ptr<camp_sim::SimulatedPlc>> plcs;
};

QStringList addresses(const char* prefix, int from, int to, int except = -1)
{
    QStringList list;
    for (int i = from; i <= to; ++i) {
        if (i != except) {
            list.append(QStringLiteral("%1%2").arg(QLatin1String(prefix)).arg(i));
        }
    }
    return list;
}

} // namespace

TEST_F(InNamespace, HostListOfTheInterfaces)
{
    createNamespace({"ifb0", "ifb1"});
    if (IsSkipped() || HasFatalFailure()) {
        return;
    }
    address("ifb0", "10.77.1.5/24");
    address("ifb0", "169.254.10.20/16");
    address("ifb0", "10.77.9.0/31");
    address("ifb0", "10.77.9.7/32");
    address("ifb1", "10.77.2.10/23");
    ASSERT_TRUE(ns->addQuietInterface("ifb2", false)); // down: never scanned
    address("ifb2", "10.77.5.1/24");
    enter();
    if (HasFatalFailure()) {
        return;
    }

    // A /24: the own address first, then the others in ascending order; the link-local, /31 and
    // /32 entries add nothing. The /23 is too large to take without being named.
    const QStringList slash24 = QStringList({"10.77.1.5"}) + addresses("10.77.1.", 1, 254, 5);
    QStringList log;
    EXPECT_EQ(ipv4HostsOnInterface(QString(), &log), slash24);
    EXPECT_EQ(ipv4HostsOnInterface("ifb0", &log), slash24);
    EXPECT_EQ(ipv4HostsOnInterface("IFB0", &log), slash24);
    EXPECT_TRUE(log.isEmpty());

    // Named, the /23 gives its own address and then the first 256 others, with the limit line.
    const QStringList slash23 = QStringList({"10.77.2.10"}) + addresses("10.77.2.", 1, 255, 10) +
                                addresses("10.77.3.", 0, 1);
    EXPECT_EQ(ipv4HostsOnInterface("Ifb1", &log), slash23);
    EXPECT_EQ(log, QStringList({"TCP subnet scan is limited to 256 hosts on ifb1"}));
    EXPECT_EQ(ipv4HostsOnInterface("Ifb1", nullptr), slash23);

    EXPECT_TRUE(ipv4HostsOnInterface("ifb2", nullptr).isEmpty());
    EXPECT_TRUE(ipv4HostsOnInterface("lo", nullptr).isEmpty());
    EXPECT_TRUE(ipv4HostsOnInterface("eth0", nullptr).isEmpty());
}

TEST_F(InNamespace, DiscoversTheControllersOfTheSubnet)
{
    createNamespace({"ifb0"});
    if (IsSkipped() || HasFatalFailure()) {
        return;
    }
    address("ifb0", "10.77.1.1/24");
    address("ifb0", "10.77.1.20/32");
    address("ifb0", "10.77.1.30/32");
    enter();
    if (HasFatalFailure()) {
        return;
    }

    // PLC A answers on two ports; PLC B on the first of them, and the host already has it.
    camp_sim::SimulatedPlc* a1 = startPlc(812, "10.77.1.20", 0);
    camp_sim::SimulatedPlc* a2 = startPlc(812, "10.77.1.20", 0);
    camp_sim::SimulatedPlc* b = startPlc(900, "10.77.1.30", a1->port());
    ASSERT_FALSE(HasFailure());
    const QString p1 = QString::number(a1->port());
    const QString p2 = QString::number(a2->port());

    QJsonObject request;
    request.insert("options", QJsonObject({{"network_interface", ""},
                                           {"tcp_ports", p1 + "," + p2},
                                           {"timeout_ms", 30000}}));
    request.insert("existing_devices",
                   QJsonArray({QJsonObject({{"address", "10.77.1.30"}, {"port", p1}})}));
    QStringList log;
    const Options options = optionsFromRequest(request, &log);

    QElapsedTimer timer;
    timer.start();
    QtTransport transport;
    const QList<Candidate> found = discoverDevices(options, transport, &log, nullptr);
    std::printf("discovery of a /24 with %d ports took %lld ms\n", options.tcpPorts.size(),
                static_cast<long long>(timer.elapsed()));

    QMap<QString, QJsonObject> byUid;
    for (const Candidate& candidate : found) {
        const QJsonObject object = candidateToJson(candidate);
        byUid.insert(object.value("uid_hint").toString(), object);
    }
    EXPECT_EQ(found.size(), 2);
    QStringList expected({"camp_nitp_10_77_1_20_" + p1, "camp_nitp_10_77_1_20_" + p2});
    expected.sort();
    ASSERT_EQ(byUid.keys(), expected);
    const QJsonObject first = byUid.value("camp_nitp_10_77_1_20_" + p1);
    EXPECT_EQ(first.value("name").toString(), QStringLiteral("812 (10.77.1.20)"));
    EXPECT_EQ(first.value("description").toString(),
              QStringLiteral("CAMP NITP at 10.77.1.20:%1, serial 812, firmware 4.10").arg(p1));
    EXPECT_EQ(first.value("user_defined_fields").toObject().value("port").toString(), p1);

    // B was asked but not offered; every simulator saw full identify exchanges only.
    EXPECT_EQ(b->requestCount(), 2);
    EXPECT_EQ(a1->requestCount(), 2);
    EXPECT_EQ(a2->requestCount(), 2);
    EXPECT_EQ(log.first(), QStringLiteral("CAMP NITP discovery probes TCP %1, %2 . Accept commas "
                                          "and ranges, for example 4450, 4480 or 4450-4451.")
                               .arg(p1, p2));
}
