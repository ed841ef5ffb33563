// Reading the host's discovery request. Forgiving by design: every key may stand at the top level,
// under "options" or under "user_defined_fields", every value may be a string, number or boolean,
// and whatever cannot be read takes its default.

#include "camp_discovery.h"

#include <QJsonArray>
#include <QJsonValue>
#include <QPair>
#include <QVariant>

namespace CampDiscovery {

namespace {

constexpr int kMinTimeoutMs = 1000;
constexpr int kMaxTimeoutMs = 300000;
constexpr int kMaxPortNumber = 65535;

const QString kOptionsLevel = QStringLiteral("options");
const QString kUserFieldsLevel = QStringLiteral("user_defined_fields");

QString jsonValueToString(const QJsonValue& value)
{
    if (value.isString()) {
        return value.toString().trimmed();
    }
    if (value.isDouble()) {
        // The variant conversion rounds to the nearest whole number.
        return QString::number(value.toVariant().toLongLong());
    }
    if (value.isBool()) {
        return value.toBool() ? QStringLiteral("1") : QStringLiteral("0");
    }
    return QString();
}

// The first non-empty text of the key: top level, then "options", then "user_defined_fields".
QString getField(const QJsonObject& object, const QString& key, const QString& defaultText)
{
    const QString top = jsonValueToString(object.value(key));
    if (!top.isEmpty()) {
        return top;
    }
    for (const QString& level : {kOptionsLevel, kUserFieldsLevel}) {
        const QJsonValue nested = object.value(level);
        if (nested.isObject()) {
            const QString text = jsonValueToString(nested.toObject().value(key));
            if (!text.isEmpty()) {
                return text;
            }
        }
    }
    return defaultText;
}

bool hasField(const QJsonObject& object, const QString& key)
{
    if (object.contains(key)) {
        return true;
    }
    for (const QString& level : {kOptionsLevel, kUserFieldsLevel}) {
        const QJsonValue nested = object.value(level);
        if (nested.isObject() && nested.toObject().contains(key)) {
            return true;
        }
    }
    return false;
}

bool isUsablePort(int n)
{
    return n >= 1 && n <= kMaxPortNumber;
}

void appendPort(QList<quint16>* ports, int n)
{
    if (!ports || !isUsablePort(n) || ports->contains(static_cast<quint16>(n)) ||
        ports->size() >= kMaxTcpScanPorts) {
        return;
    }
    ports->append(static_cast<quint16>(n));
}

int timeoutFromText(const QString& text)
{
    bool ok = false;
    const int n = text.toInt(&ok, 10);
    if (!ok || n <= 0) {
        return kDefaultTimeoutMs;
    }
    return qBound(kMinTimeoutMs, n, kMaxTimeoutMs);
}

bool scanSwitchFromText(const QString& text)
{
    return text != QLatin1String("0") &&
           text.compare(QLatin1String("false"), Qt::CaseInsensitive) != 0;
}

// A known device may give its uid, its address and port, or both; each adds an entry.
void appendExistingUids(const QJsonObject& device, QStringList* uids)
{
    const QString uid = getField(device, QStringLiteral("uid_hint"),
                                 getField(device, QStringLiteral("uid"), QString()));
    if (!uid.isEmpty()) {
        uids->append(uid);
    }
    const QString address = getField(device, QStringLiteral("address"), QString());
    if (address.isEmpty()) {
        return;
    }
    bool ok = false;
    const uint port =
        getField(device, QStringLiteral("port"), QStringLiteral("4450")).toUInt(&ok, 10);
    // uidFor reads port 0, which an unreadable text gives, as the default port.
    uids->append(uidFor(address, ok ? static_cast<quint16>(port) : quint16(0)));
}

} // namespace

QList<quint16> parsePortList(const QString& text, const QList<quint16>& defaultPorts)
{
    QList<quint16> ports;
    QList<QPair<int, int>> ranges;
    const QStringList pieces = text.split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString& rawPiece : pieces) {
        const QString piece = rawPiece.trimmed();
        const int dash = piece.indexOf(QLatin1Char('-'));
        bool ok = false;
        if (dash <= 0) {
            // No range; a leading "-" makes a negative number that appendPort refuses.
            const int port = piece.toInt(&ok, 10);
            if (ok) {
                appendPort(&ports, port);
            }
            continue;
        }
        bool lowOk = false;
        bool highOk = false;
        const int first = piece.left(dash).trimmed().toInt(&lowOk, 10);
        const int last = piece.mid(dash + 1).trimmed().toInt(&highOk, 10);
        if (lowOk && highOk) {
            ranges.append(qMakePair(qMin(first, last), qMax(first, last)));
        }
    }
    // Single ports come first; ranges follow in the order written.
    for (const QPair<int, int>& range : ranges) {
        const int from = qMax(range.first, 1);
        const int to = qMin(range.second, kMaxPortNumber);
        for (int port = from; port <= to; ++port) {
            if (ports.size() >= kMaxTcpScanPorts) {
                return ports;
            }
            appendPort(&ports, port);
        }
    }
    return ports.isEmpty() ? defaultPorts : ports;
}

Options optionsFromRequest(const QJsonObject& request, QStringList* log)
{
    Q_UNUSED(log); // reading a request has nothing to report
    Options options;
    options.timeoutMs =
        timeoutFromText(getField(request, QStringLiteral("timeout_ms"), QStringLiteral("60000")));

    const QString interfaceKey = QStringLiteral("network_interface");
    options.networkInterface = hasField(request, interfaceKey)
                                   ? getField(request, interfaceKey, QString())
                                   : QStringLiteral("eth0");

    options.tcpPorts =
        parsePortList(getField(request, QStringLiteral("tcp_ports"), QString::number(kDefaultPort)),
                      {kDefaultPort});
    options.tcpSubnetScan = scanSwitchFromText(
        getField(request, QStringLiteral("tcp_subnet_scan"), QStringLiteral("1")));

    // Known devices are read from the top level only.
    const QJsonArray devices = request.value(QStringLiteral("existing_devices")).toArray();
    for (const QJsonValue& device : devices) {
        if (device.isObject()) {
            appendExistingUids(device.toObject(), &options.existingUids);
        }
    }
    return options;
}

} // namespace CampDiscovery
