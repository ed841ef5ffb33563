// The targets of a subnet scan: every host of the local IPv4 subnets, the machine's own
// addresses first, at most 256 range addresses in all.

#include "camp_discovery.h"

#include <QHostAddress>
#include <QNetworkAddressEntry>
#include <QNetworkInterface>

namespace CampDiscovery {

namespace {

constexpr quint32 kLinkLocalNetwork = 0xA9FE0000; // 169.254.0.0/16
constexpr quint32 kLinkLocalMask = 0xFFFF0000;

bool interfaceMatches(const QNetworkInterface& interface, const QString& wanted)
{
    if (wanted.isEmpty()) {
        return true;
    }
    return interface.name().compare(wanted, Qt::CaseInsensitive) == 0 ||
           interface.humanReadableName().compare(wanted, Qt::CaseInsensitive) == 0;
}

bool isScannable(const QNetworkInterface& interface)
{
    const QNetworkInterface::InterfaceFlags flags = interface.flags();
    return flags.testFlag(QNetworkInterface::IsUp) &&
           flags.testFlag(QNetworkInterface::IsRunning) &&
           !flags.testFlag(QNetworkInterface::IsLoopBack);
}

QString dotted(quint32 address)
{
    return QHostAddress(address).toString();
}

// Collects the range addresses of one interface's entries and the own addresses among them.
class HostListBuilder
{
public:
    HostListBuilder(const QString& interfaceName, QStringList* log)
        : interfaceName(interfaceName), log(log)
    {
    }

    void addEntry(const QNetworkInterface& interface, const QNetworkAddressEntry& entry)
    {
        if (entry.ip().protocol() != QAbstractSocket::IPv4Protocol) {
            return;
        }
        const quint32 ip = entry.ip().toIPv4Address();
        const quint32 mask = entry.netmask().toIPv4Address();
        if (ip == 0 || mask == 0 || (ip & kLinkLocalMask) == kLinkLocalNetwork) {
            return;
        }
        const quint32 network = ip & mask;
        const quint32 broadcast = network | ~mask;
        // A /31 or /32 has no host range and adds nothing, not even its own address.
        // (Compared in 64 bits so that network + 1 cannot wrap.)
        const quint32 hostCount =
            quint64(broadcast) > quint64(network) + 1 ? broadcast - network - 1 : 0;
        if (hostCount == 0) {
            return;
        }
        // Without a named interface only subnets that fit the limit are taken, silently.
        if (interfaceName.isEmpty() && hostCount > static_cast<quint32>(kMaxTcpScanHosts)) {
            return;
        }
        ownAddresses.append(dotted(ip));
        addRange(interface, ip, network, broadcast);
    }

    QStringList finish()
    {
        // Own addresses lead, in the order found; one a range already listed keeps its place.
        for (int i = ownAddresses.size() - 1; i >= 0; --i) {
            if (!hosts.contains(ownAddresses[i])) {
                hosts.prepend(ownAddresses[i]);
            }
        }
        return hosts;
    }

private:
    void addRange(const QNetworkInterface& interface, quint32 ip, quint32 network,
                  quint32 broadcast)
    {
        int takenByEntry = 0;
        for (quint32 a = network + 1; a < broadcast; ++a) {
            if (a == ip) {
                continue;
            }
            if (hosts.size() >= kMaxTcpScanHosts || takenByEntry >= kMaxTcpScanHosts) {
                if (log) {
                    log->append(QStringLiteral("TCP subnet scan is limited to %1 hosts on %2")
                                    .arg(QString::number(kMaxTcpScanHosts), interface.name()));
                }
                return;
            }
            const QString host = dotted(a);
            if (!hosts.contains(host)) {
                hosts.append(host);
            }
            ++takenByEntry;
        }
    }

    const QString interfaceName;
    QStringList* const log;
    QStringList hosts;
    QStringList ownAddresses;
};

} // namespace

QStringList ipv4HostsOnInterface(const QString& interfaceName, QStringList* log)
{
    HostListBuilder builder(interfaceName, log);
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface& interface : interfaces) {
        if (!isScannable(interface) || !interfaceMatches(interface, interfaceName)) {
            continue;
        }
        const QList<QNetworkAddressEntry> entries = interface.addressEntries();
        for (const QNetworkAddressEntry& entry : entries) {
            builder.addEntry(interface, entry);
        }
    }
    return builder.finish();
}

} // namespace CampDiscovery
