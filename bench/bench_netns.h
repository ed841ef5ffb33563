#pragma once
// A private network namespace for the discovery benchmarks. Its interfaces are ifb devices (veth
// where ifb is missing) with 10.77.x.x addresses: they drop every packet, like a subnet where
// nobody answers. The calling thread moves in with enter(); threads it starts afterwards (scan
// workers, simulated PLCs) stay inside. The destructor moves the thread back and deletes the
// namespace, so a scan can never reach this machine's real interfaces.

#include <QString>
#include <QStringList>

namespace bench {

class BenchNamespace
{
public:
    explicit BenchNamespace(const QString& name);
    ~BenchNamespace();
    BenchNamespace(const BenchNamespace&) = delete;
    BenchNamespace& operator=(const BenchNamespace&) = delete;

    // Why the namespace cannot be used (not root, no ip tool), or empty when it is ready.
    QString create();
    bool addQuietInterface(const QString& interface);
    bool addAddress(const QString& interface, const QString& cidr);
    // True when the calling thread is inside and sees only lo and the interfaces added here.
    bool enter();

private:
    bool ip(const QStringList& arguments);
    void leave();

    const QString name;
    QStringList added;
    bool created = false;
    int original = -1;
};

} // namespace bench
