#include "bench_netns.h"

#include <QNetworkInterface>
#include <QProcess>

#include <cstdio>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

namespace bench {

namespace {

bool runIp(const QStringList& arguments)
{
    QProcess ip;
    ip.setProcessChannelMode(QProcess::MergedChannels);
    ip.start(QStringLiteral("ip"), arguments);
    if (!ip.waitForFinished(30000))
        return false;
    const bool ok = ip.exitStatus() == QProcess::NormalExit && ip.exitCode() == 0;
    if (!ok) {
        std::fprintf(stderr, "ip %s: %s", qPrintable(arguments.join(QLatin1Char(' '))),
                     ip.readAll().constData());
    }
    return ok;
}

} // namespace

BenchNamespace::BenchNamespace(const QString& name) : name(name) {}

BenchNamespace::~BenchNamespace()
{
    leave();
    if (created)
        runIp({QStringLiteral("netns"), QStringLiteral("delete"), name});
}

QString BenchNamespace::create()
{
    if (::geteuid() != 0)
        return QStringLiteral("needs root to create a network namespace");
    if (!runIp({QStringLiteral("netns"), QStringLiteral("add"), name}))
        return QStringLiteral("ip netns add %1 failed").arg(name);
    created = true;
    if (!ip({QStringLiteral("link"), QStringLiteral("set"), QStringLiteral("lo"),
             QStringLiteral("up")}))
        return QStringLiteral("cannot bring lo up in the namespace");
    return QString();
}

bool BenchNamespace::addQuietInterface(const QString& interface)
{
    const QString peer = interface + QLatin1Char('p');
    if (ip({"link", "add", interface, "type", "ifb"})) {
        added.append(interface);
    } else if (ip({"link", "add", interface, "type", "veth", "peer", "name", peer})) {
        added.append({interface, peer});
        if (!ip({"link", "set", peer, "up"}))
            return false;
    } else {
        return false;
    }
    return ip({"link", "set", interface, "up"});
}

bool BenchNamespace::addAddress(const QString& interface, const QString& cidr)
{
    return ip({"addr", "add", cidr, "dev", interface});
}

bool BenchNamespace::enter()
{
    original = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    const QByteArray path = "/var/run/netns/" + name.toUtf8();
    const int target = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    const bool entered = original >= 0 && target >= 0 && ::setns(target, CLONE_NEWNET) == 0;
    if (target >= 0)
        ::close(target);
    if (!entered)
        return false;
    // The guard that keeps every scan off the machine's own interfaces.
    for (const QNetworkInterface& interface : QNetworkInterface::allInterfaces()) {
        if (interface.name() != QLatin1String("lo") && !added.contains(interface.name()))
            return false;
    }
    return true;
}

bool BenchNamespace::ip(const QStringList& arguments)
{
    return runIp(QStringList({QStringLiteral("-n"), name}) + arguments);
}

void BenchNamespace::leave()
{
    if (original < 0)
        return;
    if (::setns(original, CLONE_NEWNET) != 0)
        std::perror("setns back");
    ::close(original);
    original = -1;
}

} // namespace bench
