// Protects the subnet scan on real interfaces without touching this machine's own: every test
// creates a private network namespace with 10.77.x.x addresses on ifb interfaces (they drop what
// they are given, like a quiet subnet), moves its thread into it, and deletes it afterwards.
// Threads started inside (simulated PLCs, scan workers) stay in the namespace.

#include <gtest/gtest.h>

#include "camp_discovery.h"
#include "qt_printers.h"
#include "simulated_plc.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QNetworkInterface>
#include <QProcess>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

using namespace CampDiscovery;

namespace {

bool run(const QStringList& arguments)
{
    QProcess ip;
    ip.setProcessChannelMode(QProcess::MergedChannels);
    ip.start(QStringLiteral("ip"), arguments);
    if (!ip.waitForFinished(30000)) {
        return false;
    }
    const bool ok = ip.exitStatus() == QProcess::NormalExit && ip.exitCode() == 0;
    if (!ok) {
        std::fprintf(stderr, "ip %s: %s", qPrintable(arguments.join(' ')),
                     ip.readAll().constData());
    }
    return ok;
}

// A network namespace that lives as long as the object; the calling thread is inside it between
// enter() and the destructor.
class NetworkNamespace
{
public:
    NetworkNamespace()
        : name(QStringLiteral("kib_discovery_%1_%2").arg(::getpid()).arg(++instances))
    {
    }

    ~NetworkNamespace()
    {
        leave();
        if (created) {
            run({"netns", "delete", name});
        }
    }

    // Why the namespace cannot be used, or empty when it is ready.
    QString create()
    {
        if (::geteuid() != 0) {
            return QStringLiteral("network namespace tests need root");
        }
        if (!run({"netns", "add", name})) {
            return QStringLiteral("ip netns add failed");
        }
        created = true;
        if (!ip({"link", "set", "lo", "up"})) {
            return QStringLiteral("cannot bring lo up in the namespace");
        }
        return QString();
    }

    // An interface that drops what it is sent: ifb, or one end of a veth pair where ifb is missing.
    bool addQuietInterface(const QString& interface, bool up = true)
    {
        if (!ip({"link", "add", interface, "type", "ifb"}) &&
            !ip({"link", "add", interface, "type", "veth", "peer", "name", interface + "p"})) {
            return false;
        }
        if (!up) {
            return true;
        }
        return ip({"link", "set", interface, "up"}) &&
               (!hasInterface(interface + "p") || ip({"link", "set", interface + "p", "up"}));
    }

    bool addAddress(const QString& interface, const QString& cidr)
    {
        return ip({"addr", "add", cidr, "dev", interface});
    }

    bool enter()
    {
        original = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        const int target =
            ::open(QByteArray("/var/run/netns/" + name.toUtf8()).constData(), O_RDONLY | O_CLOEXEC);
        const bool entered = original >= 0 && target >= 0 && ::setns(target, CLONE_NEWNET) == 0;
        if (target >= 0) {
            ::close(target);
        }
        return entered && onlyOwnInterfaces();
    }

    QStringList interfaceNames() const
    {
        QStringList names;
        for (const QNetworkInterface& interface : QNetworkInterface::allInterfaces()) {
            names.append(interface.name());
        }
        return names;
    }

    QStringList added;

private:
    bool ip(QStringList arguments)
    {
        const bool ok = run(QStringList({"-n", name}) + arguments);
        if (ok && arguments.size() > 2 && arguments[0] == "link" && arguments[1] == "add") {
            added.append(arguments[2]);
            if (arguments.contains("veth")) {
                added.append(arguments.last());
            }
        }
        return ok;
    }

    bool hasInterface(const QString& interface) const { return added.contains(interface); }

    // The guard that keeps every scan off this machine's real interfaces.
    bool onlyOwnInterfaces() const
    {
        for (const QString& interface : interfaceNames()) {
            if (interface != QLatin1String("lo") && !added.contains(interface)) {
                return false;
            }
        }
        return true;
    }

    void leave()
    {
        if (original >= 0) {
            if (::setns(original, CLONE_NEWNET) != 0) {
                std::perror("setns back");
            }
            ::close(original);
            original = -1;
        }
    }

    static int instances;
    const QString name;
    bool created = false;
    int original = -1;
};

int NetworkNamespace::instances = 0;

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
        ns = std::make_unique<NetworkNamespace>();
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
