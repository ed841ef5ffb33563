#include "soak_network.h"

#include "soak_plan.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>

namespace soak {

namespace {

// The loopback's queueing: an htb root whose unclassified packets (all but the lost SYNs) go
// straight out, and for every module a class whose token bucket of 10 bytes passes nothing. While
// a module's SYNs are to be lost, a filter sends them into its class. (This kernel has no prio
// qdisc and no drop action, so a class that drops everything stands in for both.)
QString moduleClass(int module)
{
    return QStringLiteral("1:%1").arg(0x10 + module, 0, 16);
}

QString moduleBucket(int module)
{
    return QStringLiteral("%1:").arg(0x100 + module, 0, 16);
}

QString filterPreference(int module)
{
    return QString::number(10 + module);
}

} // namespace

SoakNetwork::SoakNetwork(const QString& name) : m_name(name), m_namespace(name) {}

SoakNetwork::~SoakNetwork()
{
    // The name server first: its thread lives in the namespace, which goes with m_namespace.
    m_names.stop();
}

QString SoakNetwork::create()
{
    return m_namespace.create();
}

QString SoakNetwork::enter(const QString& workDir, int modules)
{
    if (!m_namespace.enter()) {
        return QStringLiteral("cannot enter network namespace %1").arg(m_name);
    }
    QString output;
    if (!tc({"qdisc", "add", "dev", "lo", "root", "handle", "1:", "htb"}, &output)) {
        return QStringLiteral("cannot set up the loopback's queueing: %1").arg(output);
    }
    for (int m = 0; m < modules; ++m) {
        if (!tc({"class", "add", "dev", "lo", "parent", "1:", "classid", moduleClass(m), "htb",
                 "rate", "1kbit", "quantum", "1514"},
                &output) ||
            !tc({"qdisc", "add", "dev", "lo", "parent", moduleClass(m), "handle", moduleBucket(m),
                 "tbf", "rate", "1kbit", "burst", "10", "limit", "10"},
                &output)) {
            return QStringLiteral("cannot set up the loopback's queueing: %1").arg(output);
        }
    }

    if (!m_names.start(QStringLiteral("127.0.0.1"), 53)) {
        return m_names.lastError();
    }
    for (int m = 0; m < modules; ++m) {
        m_names.setAddress(moduleHostName(m).toLatin1(), "127.0.0.1");
    }
    QFile resolvConf(QDir(workDir).filePath(QStringLiteral("resolv.conf")));
    if (!resolvConf.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        resolvConf.write(m_names.resolvConf(kResolverTimeoutSeconds)) < 0) {
        return QStringLiteral("cannot write %1").arg(resolvConf.fileName());
    }
    resolvConf.close();
    if (!camp_sim::NetworkNamespace::useResolvConf(resolvConf.fileName())) {
        return QStringLiteral("cannot use %1 as resolv.conf").arg(resolvConf.fileName());
    }
    return QString();
}

// A SYN without ACK to the module's port, in an IPv4 header of 20 bytes (the loopback's TCP packets
// carry no IP options): the TCP flags are byte 33.
bool SoakNetwork::loseSyns(int module, quint16 port, bool on, QString* error)
{
    QString output;
    const bool done = on ? tc({"filter",
                               "add",
                               "dev",
                               "lo",
                               "parent",
                               "1:",
                               "protocol",
                               "ip",
                               "prio",
                               filterPreference(module),
                               "u32",
                               "match",
                               "ip",
                               "protocol",
                               "6",
                               "0xff",
                               "match",
                               "ip",
                               "dport",
                               QString::number(port),
                               "0xffff",
                               "match",
                               "u8",
                               "0x02",
                               "0x12",
                               "at",
                               "33",
                               "flowid",
                               moduleClass(module)},
                              &output)
                         : tc({"filter", "del", "dev", "lo", "parent", "1:", "protocol", "ip",
                               "prio", filterPreference(module)},
                              &output);
    if (!done) {
        *error = QStringLiteral("cannot %1 the SYNs to module %2: %3")
                     .arg(on ? QStringLiteral("lose") : QStringLiteral("pass"))
                     .arg(module)
                     .arg(output.trimmed());
    }
    return done;
}

qint64 SoakNetwork::synsLost(int module, QString* error) const
{
    QString output;
    if (!tc({"-s", "qdisc", "show", "dev", "lo"}, &output)) {
        *error = QStringLiteral("cannot read the loopback's queueing: %1").arg(output.trimmed());
        return -1;
    }
    // qdisc tbf 100: parent 1:10 rate 1Kbit burst 10b lat 0us
    //  Sent 0 bytes 0 pkt (dropped 3, overlimits 0 requeues 0)
    const QRegularExpression bucket(QStringLiteral("qdisc tbf %1 [^\\n]*\\n[^\\n]*dropped (\\d+)")
                                        .arg(QRegularExpression::escape(moduleBucket(module))));
    const QRegularExpressionMatch match = bucket.match(output);
    if (!match.hasMatch()) {
        *error = QStringLiteral("no token bucket of module %1 on the loopback").arg(module);
        return -1;
    }
    return match.captured(1).toLongLong();
}

void SoakNetwork::silence(bool on)
{
    m_silences += on ? 1 : -1;
    m_names.setSilent(m_silences > 0);
}

bool SoakNetwork::tc(const QStringList& arguments, QString* output) const
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("tc"), QStringList{QStringLiteral("-n"), m_name} + arguments);
    const bool ok = process.waitForFinished(10000) &&
                    process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    *output = QString::fromLocal8Bit(process.readAll());
    if (!ok && output->isEmpty()) {
        *output = process.errorString();
    }
    return ok;
}

} // namespace soak
