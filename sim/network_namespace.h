#pragma once
// A private network namespace for simulated modules, and for code that scans subnets or needs
// addresses nobody answers for (tests and benchmarks alike).
// Its interfaces are ifb devices (one end of a veth pair where ifb is missing) with 10.77.x.x
// addresses: they drop every packet, like a subnet where nobody is home. The calling thread moves
// in with enter(); threads it starts afterwards (scan workers, simulated PLCs) stay inside. The
// namespace is deleted with the object, so nothing can ever reach this machine's real interfaces.
// Creating one needs root; create() says why it cannot be had.
//
// Its loopback can behave like a plant's network: it drops everything for a moment when asked (a
// connect then waits a second for its SYN to go again), and a thread can have its own resolv.conf,
// naming a name server that answers or one that is silent.

#include <QByteArray>
#include <QDir>
#include <QNetworkInterface>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

namespace camp_sim {

class NetworkNamespace
{
public:
    // `prefix_<pid>_<n>`: unique on this machine while the process lives.
    static QString uniqueName(const QString& prefix)
    {
        static std::atomic<int> instances{0};
        return QStringLiteral("%1_%2_%3").arg(prefix).arg(::getpid()).arg(++instances);
    }

    explicit NetworkNamespace(const QString& name) : name(name) {}

    ~NetworkNamespace()
    {
        if (restoring.joinable()) {
            restoring.join();
        }
        leave();
        if (created) {
            runIp({QStringLiteral("netns"), QStringLiteral("delete"), name});
        }
    }

    NetworkNamespace(const NetworkNamespace&) = delete;
    NetworkNamespace& operator=(const NetworkNamespace&) = delete;

    // Why the namespace cannot be used, or empty when it is ready with lo up.
    QString create()
    {
        if (::geteuid() != 0) {
            return QStringLiteral("creating a network namespace needs root");
        }
        deleteLeftoversOfGoneProcesses();
        if (!runIp({QStringLiteral("netns"), QStringLiteral("add"), name})) {
            return QStringLiteral("ip netns add %1 failed").arg(name);
        }
        created = true;
        if (!ip({"link", "set", "lo", "up"})) {
            return QStringLiteral("cannot bring lo up in the namespace");
        }
        return QString();
    }

    // An interface that drops what it is sent; a down one is never scanned.
    bool addQuietInterface(const QString& interface, bool up = true)
    {
        const QString peer = interface + QLatin1Char('p');
        if (ip({"link", "add", interface, "type", "ifb"})) {
            added.append(interface);
        } else if (ip({"link", "add", interface, "type", "veth", "peer", "name", peer})) {
            added.append({interface, peer});
            if (up && !ip({"link", "set", peer, "up"})) {
                return false;
            }
        } else {
            return false;
        }
        return !up || ip({"link", "set", interface, "up"});
    }

    bool addAddress(const QString& interface, const QString& cidr)
    {
        return ip({"addr", "add", cidr, "dev", interface});
    }

    bool removeAddress(const QString& interface, const QString& cidr)
    {
        return ip({"addr", "del", cidr, "dev", interface});
    }

    // While on, the loopback drops every packet: a token bucket of 10 bytes passes none.
    bool setDropping(bool on)
    {
        if (restoring.joinable()) {
            restoring.join();
        }
        return on ? tc({"qdisc", "add", "dev", "lo", "root", "tbf", "rate", "1kbit", "burst", "10",
                        "limit", "10"})
                  : tc({"qdisc", "del", "dev", "lo", "root"});
    }

    // Drops everything from now on for `ms` milliseconds, without holding the caller: what it
    // starts next (a connect whose SYN is lost) meets the dropping link.
    bool dropFor(int ms)
    {
        if (!setDropping(true)) {
            return false;
        }
        restoring = std::thread([this, ms] {
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            tc({"qdisc", "del", "dev", "lo", "root"});
        });
        return true;
    }

    // Makes the calling thread, and the threads it starts from now on, read `path` as
    // /etc/resolv.conf (a mount namespace of the thread's own, as `ip netns exec` makes for
    // /etc/netns/NAME/resolv.conf): their look-ups go to the name server it names.
    static bool useResolvConf(const QString& path)
    {
        const QByteArray file = path.toLocal8Bit();
        return ::unshare(CLONE_NEWNS) == 0 &&
               ::mount("none", "/", nullptr, MS_REC | MS_SLAVE, nullptr) == 0 &&
               ::mount(file.constData(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) == 0;
    }

    // Moves the calling thread in (once). True only when it is inside and sees nothing but lo and
    // the interfaces added here: the guard that keeps every scan off the machine's own interfaces.
    bool enter()
    {
        original = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        const QByteArray path = "/var/run/netns/" + name.toUtf8();
        const int target = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
        const bool entered = original >= 0 && target >= 0 && ::setns(target, CLONE_NEWNET) == 0;
        if (target >= 0) {
            ::close(target);
        }
        return entered && onlyOwnInterfaces();
    }

    // Moves the thread that entered back to where it was. The destructor does it for the thread
    // that destroys the object, so a thread that entered and ends first should leave itself.
    void leave()
    {
        if (original < 0) {
            return;
        }
        if (::setns(original, CLONE_NEWNET) != 0) {
            std::perror("setns back");
        }
        ::close(original);
        original = -1;
    }

private:
    // A process killed before it could delete its namespaces (a test's time-out, Ctrl-C) leaves
    // them behind: those named like this one, `prefix_<pid>_<n>`, whose process is gone are
    // deleted before another is made.
    void deleteLeftoversOfGoneProcesses() const
    {
        const int cut = name.lastIndexOf(QLatin1Char('_'), name.lastIndexOf(QLatin1Char('_')) - 1);
        if (cut <= 0) {
            return;
        }
        const QString prefix = name.left(cut + 1);
        const QStringList existing = QDir(QStringLiteral("/var/run/netns"))
                                         .entryList({prefix + QLatin1Char('*')}, QDir::Files);
        for (const QString& other : existing) {
            const QStringList numbers = other.mid(prefix.size()).split(QLatin1Char('_'));
            bool isPid = false;
            const int pid = numbers.value(0).toInt(&isPid);
            if (numbers.size() == 2 && isPid && pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH) {
                runIp({QStringLiteral("netns"), QStringLiteral("delete"), other});
            }
        }
    }

    static bool runIp(const QStringList& arguments)
    {
        return runProgram(QStringLiteral("ip"), arguments);
    }

    static bool runProgram(const QString& program, const QStringList& arguments)
    {
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(program, arguments);
        const bool ok = process.waitForFinished(30000) &&
                        process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
        if (!ok) {
            std::fprintf(stderr, "%s %s: %s", qPrintable(program),
                         qPrintable(arguments.join(QLatin1Char(' '))),
                         process.readAll().constData());
        }
        return ok;
    }

    bool ip(const QStringList& arguments) const
    {
        return runIp(QStringList({QStringLiteral("-n"), name}) + arguments);
    }

    bool tc(const QStringList& arguments) const
    {
        return runProgram(QStringLiteral("tc"),
                          QStringList({QStringLiteral("-n"), name}) + arguments);
    }

    bool onlyOwnInterfaces() const
    {
        for (const QNetworkInterface& interface : QNetworkInterface::allInterfaces()) {
            if (interface.name() != QLatin1String("lo") && !added.contains(interface.name())) {
                return false;
            }
        }
        return true;
    }

    const QString name;
    QStringList added;
    bool created = false;
    int original = -1;
    std::thread restoring; // ends a dropFor()
};

} // namespace camp_sim
