// Protects the list of hosts a subnet scan targets, read from real interfaces without touching
// this machine's own: the test creates a private network namespace with 10.77.x.x addresses on
// ifb interfaces (they drop what they are given, like a quiet subnet), moves its thread into it,
// and deletes it afterwards.

#include <gtest/gtest.h>

#include "camp_discovery.h"
#include "network_namespace.h"
#include "qt_printers.h"

#include <QFile>
#include <QProcess>

#include <sys/wait.h>
#include <unistd.h>

using namespace CampDiscovery;
using camp_sim::NetworkNamespace;

namespace {

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

TEST(InNamespace, HostListOfTheInterfaces)
{
    NetworkNamespace ns(NetworkNamespace::uniqueName("kib_discovery"));
    const QString reason = ns.create();
    if (!reason.isEmpty()) {
        GTEST_SKIP() << "Skipping: " << reason.toStdString();
    }
    ASSERT_TRUE(ns.addQuietInterface("ifb0") && ns.addQuietInterface("ifb1") &&
                ns.addQuietInterface("ifb2", false)); // down: never scanned
    for (const char* cidr : {"10.77.1.5/24", "169.254.10.20/16", "10.77.9.0/31", "10.77.9.7/32"}) {
        ASSERT_TRUE(ns.addAddress("ifb0", cidr)) << cidr;
    }
    ASSERT_TRUE(ns.addAddress("ifb1", "10.77.2.10/23") && ns.addAddress("ifb2", "10.77.5.1/24"));
    ASSERT_TRUE(ns.enter()) << "not inside the test's own namespace";

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

    for (const char* nothing : {"ifb2", "lo", "eth0"}) {
        EXPECT_TRUE(ipv4HostsOnInterface(nothing, nullptr).isEmpty()) << nothing;
    }
}

// A run killed before it deleted its namespaces leaves them behind: the next one of the same name
// deletes those whose process is gone, and leaves a living process's alone.
TEST(InNamespace, LeftoversOfGoneProcessesAreDeleted)
{
    if (::geteuid() != 0) {
        GTEST_SKIP() << "creating a network namespace needs root";
    }
    const pid_t gone = ::fork();
    if (gone == 0) {
        ::_exit(0);
    }
    ASSERT_GT(gone, 0);
    ASSERT_EQ(::waitpid(gone, nullptr, 0), gone);
    const QString leftoverName = QStringLiteral("kib_leftover_%1_1").arg(gone);
    const QString livingName = QStringLiteral("kib_leftover_%1_1").arg(::getpid());
    NetworkNamespace living(livingName);
    ASSERT_TRUE(living.create().isEmpty());
    ASSERT_EQ(QProcess::execute(QStringLiteral("ip"), {"netns", "add", leftoverName}), 0);
    const auto exists = [](const QString& name) {
        return QFile::exists(QStringLiteral("/var/run/netns/") + name);
    };
    ASSERT_TRUE(exists(leftoverName));

    NetworkNamespace next(QStringLiteral("kib_leftover_%1_2").arg(::getpid()));
    ASSERT_TRUE(next.create().isEmpty());
    EXPECT_FALSE(exists(leftoverName));
    EXPECT_TRUE(exists(livingName));
}
