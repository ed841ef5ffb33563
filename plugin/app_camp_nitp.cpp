#include "app_camp_nitp.h"

#include <csignal>

#include "block_values.h"
#include "camp_identity.h"
#include "camp_session.h"
#include "config_check.h"

#include "kib_identity.h"
#include "mutex_locker.h"
#include "poll_cycle.h"
#include "write_cycle.h"

namespace {

const QString kPluginName = QStringLiteral("camp_nitp");
// The registration value the host expects from this kind of plugin.
constexpr unsigned int kPluginKind = 9;

void addDiscoveryTags(DatabaseColumnStructure& column)
{
    column.insertSelectionValues(QStringLiteral("__kib_discovery_editable"), QStringLiteral("1"));
    column.insertSelectionValues(QStringLiteral("__kib_discovery_parameter_only"),
                                 QStringLiteral("1"));
}

} // namespace

App_CAMP_NITP::App_CAMP_NITP() : QObject(nullptr)
{
    // A write to a socket the PLC has closed must fail with EPIPE, not end the host process.
    std::signal(SIGPIPE, SIG_IGN);
}

// The sessions close their connections as they go; stopPlugin() is the host's way to close them
// while calls may still be running.
App_CAMP_NITP::~App_CAMP_NITP() = default;

QList<DatabaseColumnStructure> App_CAMP_NITP::itemColumns() const
{
    using Column = DatabaseColumnStructure;
    Column addressWord(QStringLiteral("address_word"), Column::Number, 0, QString(), QString());

    Column addressClass(QStringLiteral("address_class"), Column::Text, 0, QString(), QString());
    const char* const classes[][2] = {{"V", "1"}, {"K", "2"},  {"X", "6"},   {"Y", "7"},
                                      {"C", "8"}, {"WX", "9"}, {"WY", "10"}, {"STW", "26"}};
    for (const auto& entry : classes) {
        addressClass.insertSelectionValues(QLatin1String(entry[0]), QLatin1String(entry[1]));
    }

    Column dataType(QStringLiteral("data_type"), Column::Text, 3, QString(), QString());
    const char* const types[][2] = {
        {"Bit", "0"},    {"Integer", "1"},      {"Unsigned integer", "2"},     {"Float", "3"},
        {"String", "4"}, {"Long integer", "5"}, {"Unsigned long integer", "6"}};
    for (const auto& entry : types) {
        dataType.insertSelectionValues(QLatin1String(entry[0]), QLatin1String(entry[1]));
    }

    return {addressWord, addressClass, dataType};
}

QList<DatabaseColumnStructure> App_CAMP_NITP::deviceColumns()
{
    using Column = DatabaseColumnStructure;
    Column port(QStringLiteral("port"), Column::Text, 0, QStringLiteral("4450"), QString());
    Column timeout(QStringLiteral("timeout"), Column::Text, 0, QStringLiteral("10000"),
                   QStringLiteral("Socket timeout in milliseconds for connect, read and write"));
    Column window(QStringLiteral("timeout_ms"), Column::Text, 0, QStringLiteral("60000"),
                  QStringLiteral("Overall discovery window in milliseconds for the TCP 4450 CAMP "
                                 "identify scan. Default 60000 is 60 seconds."));
    Column interface(QStringLiteral("network_interface"), Column::Choice, 64,
                     QStringLiteral("eth0"),
                     QStringLiteral("Ethernet interface used for the CAMP NITP subnet scan. "
                                    "Default is eth0. Choose All IPv4 interfaces to scan every "
                                    "NIC."));
    Column ports(QStringLiteral("tcp_ports"), Column::Choice, 64, QStringLiteral("4450"),
                 QStringLiteral("TCP ports for CAMP NITP identify (CTI 2572 default 4450). Use "
                                "commas and ranges, for example 4450 or 4450-4451."));
    Column connections(QStringLiteral("connections"), Column::Number, 0, QStringLiteral("1"),
                       QStringLiteral("CAMP connections one poll may use (1 to 8). More read "
                                      "large item lists faster on PLCs with a long scan; each "
                                      "takes one of the module's 24 connections."));
    Column offScanAfter(QStringLiteral("offscan_after"), Column::Number, 0, QStringLiteral("3"),
                        QStringLiteral("Polls or writes in a row that cannot reach the module "
                                       "before the device goes off-scan: its polls and writes "
                                       "then fail at once until the module answers again. 0 "
                                       "never takes it off-scan."));
    Column offScanRetry(QStringLiteral("offscan_retry_ms"), Column::Number, 0,
                        QStringLiteral("10000"),
                        QStringLiteral("While off-scan, the module is watched with a small probe "
                                       "and polled again once it answers; should that poll fail "
                                       "too, the next waits this many milliseconds."));
    Column blockWords(QStringLiteral("max_block_words"), Column::Number, 0, QStringLiteral("256"),
                      QStringLiteral("The most words one read request of a block may ask (1 to "
                                     "256). Lower it for a module that refuses larger reads; a "
                                     "String longer than this is still read whole."));
    Column gapWords(QStringLiteral("max_gap_words"), Column::Number, 0, QStringLiteral("16"),
                    QStringLiteral("The most unread words one read may bridge between two items "
                                   "(0 to 16). Lower it for a module that needs smaller gaps."));

    interface.insertSelectionValues(QStringLiteral("All IPv4 interfaces"), QString());
    for (const NetworkInterfaceInstance& nic : pluginInterface.getNetworkInterfaces()) {
        if (!nic.name.isEmpty()) {
            interface.insertSelectionValues(nic.name, nic.name);
        }
    }
    addDiscoveryTags(window);
    addDiscoveryTags(interface);
    addDiscoveryTags(ports);
    return {port,        timeout,      window,       interface,  ports,
            connections, offScanAfter, offScanRetry, blockWords, gapWords};
}

// One call of one device at a time: the device's session is held, and locked, for the whole call.
template <typename Work> bool App_CAMP_NITP::withSession(DeviceInstancePlugin& device, Work work)
{
    const std::shared_ptr<CampSession> session = sessionFor(device);
    bool done = false;
    {
        MutexLocker lock(session->mutex);
        done = work(*session);
    }
    --session->callsInFlight;
    return done;
}

bool App_CAMP_NITP::init()
{
    PluginInitOptions options;
    options.optionFlag1 = false;
    options.optionFlag2 = false;
    options.optionFlag4 = true;
    options.optionFlag5 = false;
    options.discoveryAction = QStringLiteral("discover");

    pluginInterface.initPlugin(kPluginName, kPluginKind, {}, itemColumns(), deviceColumns(), {},
                               options);
    for (DeviceInstancePlugin& device : pluginInterface.getPluginDevices()) {
        withSession(device, [&](CampSession& session) {
            reportConfiguration(pluginInterface,
                                session.checkedColumns->newLines(device, device.configuredItems));
            return true;
        });
    }
    kib_identity::ensureItemsForAllDevices(&pluginInterface, campIdentitySpecs());
    return true;
}

bool App_CAMP_NITP::readData(LogList* log)
{
    return log && withSession(*log, [&](CampSession& session) {
               return pollDevice(session, log, pluginInterface);
           });
}

bool App_CAMP_NITP::getEventData(LogList* log)
{
    Q_UNUSED(log);
    return true;
}

bool App_CAMP_NITP::logCallback(LogList* log)
{
    Q_UNUSED(log);
    return true;
}

bool App_CAMP_NITP::writeData(LogList* log)
{
    return log && withSession(*log, [&](CampSession& session) {
               return writeDevice(session, log, pluginInterface, moduleWriteLocks);
           });
}

bool App_CAMP_NITP::stopPlugin()
{
    closeAllSessions();
    return true;
}

// A device whose address or port changed gets a new session: nothing of the old module (its
// connections, probe, what was learnt of it, its off-scan state and counts) carries over. Sessions
// no call has taken for a long time are closed too, so devices the host no longer polls hold no
// connection. Either way the old session is closed by its last holder, after the map's lock: a
// call still running on it finishes there.
std::shared_ptr<CampSession> App_CAMP_NITP::sessionFor(DeviceInstancePlugin& device)
{
    std::vector<std::shared_ptr<CampSession>> retired; // released after the lock below
    const qint64 now = monotonicMs();
    const ModuleTarget target = ModuleTarget::of(device);
    const qint64 idleLimitMs =
        std::max<qint64>(kIdleSessionMs, qint64(10) * CAMP_NITP::loadTimeoutMs(device));
    MutexLocker lock(sessionsMutex);
    retireIdleSessions(now, retired);
    std::shared_ptr<CampSession>& session = sessions[device.id];
    if (session && !(session->target == target)) {
        retired.push_back(std::move(session));
    }
    if (!session) {
        session = std::make_shared<CampSession>(target);
        std::shared_ptr<CheckedColumns>& checked = checkedColumns[device.id];
        if (!checked) {
            checked = std::make_shared<CheckedColumns>();
        }
        session->checkedColumns = checked;
    }
    session->lastCallMs = now;
    session->idleLimitMs = idleLimitMs;
    ++session->callsInFlight;
    return session;
}

// Called with the map's lock held; at most once a minute, so that a poll pays nothing for it.
void App_CAMP_NITP::retireIdleSessions(qint64 now,
                                       std::vector<std::shared_ptr<CampSession>>& retired)
{
    if (now - lastIdleSweepMs < kIdleSweepEveryMs) {
        return;
    }
    lastIdleSweepMs = now;
    for (auto it = sessions.begin(); it != sessions.end();) {
        CampSession& session = *it.value();
        if (session.callsInFlight == 0 && now - session.lastCallMs >= session.idleLimitMs) {
            retired.push_back(std::move(it.value()));
            it = sessions.erase(it);
        } else {
            ++it;
        }
    }
}

void App_CAMP_NITP::closeAllSessions()
{
    QList<std::shared_ptr<CampSession>> closing;
    {
        MutexLocker lock(sessionsMutex);
        closing = sessions.values(); // ascending device id
        sessions.clear();
    }
    // Each device is disconnected only after the call that holds its session has ended.
    for (const std::shared_ptr<CampSession>& session : closing) {
        MutexLocker lock(session->mutex);
        session->disconnectAll();
    }
}

bool App_CAMP_NITP::assignBlockValues(const std::vector<ReadSpan>& spans, size_t first, size_t last,
                                      quint32 blockStart, const Words& words)
{
    storeBlockValues(spans, first, last, blockStart, words);
    return true;
}

QString App_CAMP_NITP::convertData(ItemInstancePlugin* item, Words words)
{
    return itemValueText(*item, words);
}
