// The soak's own network: a network namespace the whole host process moves into before it starts
// anything (its modules, its threads, the plugin's threads), a name server in it that names the
// modules, and queueing on its loopback that can lose the SYNs sent to one module. The namespace
// goes with the object, on every way out of the soak; nothing ever reaches the machine's own
// interfaces.
#pragma once

#include "name_server.h"
#include "network_namespace.h"

#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace soak {

class SoakNetwork
{
public:
    explicit SoakNetwork(const QString& name);
    ~SoakNetwork();
    SoakNetwork(const SoakNetwork&) = delete;
    SoakNetwork& operator=(const SoakNetwork&) = delete;

    QString name() const { return m_name; }

    // Why the soak cannot have a namespace of its own (not root, no namespaces here), or empty
    // when it is there.
    QString create();
    // Moves the calling thread in for good, and sets up the queueing of `modules` modules and the
    // name server, whose resolv.conf (written into `workDir`) the calling thread and everything it
    // starts from now on read. Empty when done, else what failed.
    QString enter(const QString& workDir, int modules);

    // While on, every SYN to the module's port is lost.
    bool loseSyns(int module, quint16 port, bool on, QString* error);
    // SYNs to the module lost so far.
    qint64 synsLost(int module, QString* error) const;

    // The name server is silent while any caller wants it to be.
    void silence(bool on);
    int queries() const { return m_names.queries(); } // look-ups it received, answered or not

private:
    bool tc(const QStringList& arguments, QString* output) const;

    QString m_name;
    camp_sim::NetworkNamespace m_namespace;
    camp_sim::NameServer m_names;
    int m_silences = 0;
};

} // namespace soak
