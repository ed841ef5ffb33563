#include "fault_injector.h"

#include "soak_network.h"

#include <algorithm>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace soak {

namespace {

constexpr int kAttemptsToFill = 5;
constexpr int kReplyPatienceMs = 5000;
const QByteArray kReadV1 = "[0400010000010100010368]";

int connectTo(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        return fd;
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return -1;
}

// Whether the module took the connection: it answers a read on it. A connection beyond its limit
// is closed at once instead.
bool answersOn(int fd)
{
    if (::send(fd, kReadV1.constData(), size_t(kReadV1.size()), MSG_NOSIGNAL) != kReadV1.size()) {
        return false;
    }
    QByteArray reply;
    while (!reply.contains(']')) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, kReplyPatienceMs) <= 0) {
            return false;
        }
        char chunk[256];
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0) {
            return false;
        }
        reply.append(chunk, int(got));
    }
    return reply.startsWith("[05");
}

QByteArray faultsCommand(const FaultEvent& event)
{
    switch (event.kind) {
    case FaultKind::HalfOpen:
        return "faults silent=1";
    case FaultKind::Slow:
        return "faults latency-ms=" + QByteArray::number(event.setting);
    case FaultKind::Duplicated:
        return "faults duplicate-read-reply=1";
    case FaultKind::OtherAddress:
        return "faults read-reply-address-offset=" + QByteArray::number(event.setting);
    case FaultKind::ReadReplyWrite:
        return "faults read-reply-to-write=1";
    case FaultKind::Garbled:
        return "faults non-hex-in-reply-words=1";
    case FaultKind::GarbledDigit:
        return "faults garbled-digit-percent=30";
    case FaultKind::ForeignWriteReply:
        return "faults foreign-write-reply=1";
    case FaultKind::NearlyFull:
        return "faults connection-limit=" + QByteArray::number(kNearlyFullConnections);
    case FaultKind::SilentExtras:
        return "faults silent-beyond=1";
    default:
        return QByteArray();
    }
}

} // namespace

FaultInjector::FaultInjector(std::vector<std::unique_ptr<ModuleProcess>>& modules,
                             SoakNetwork* network)
    : m_modules(modules), m_network(network), m_held(modules.size()),
      m_windowOpen(modules.size(), false), m_windows(modules.size(), 0),
      m_synsLostBefore(modules.size(), 0), m_synsLost(modules.size(), 0),
      m_queriesBefore(modules.size(), 0), m_queries(modules.size(), 0)
{
}

FaultInjector::~FaultInjector()
{
    for (size_t m = 0; m < m_held.size(); ++m) {
        releaseConnections(int(m));
    }
}

bool FaultInjector::begin(const FaultEvent& event, QString* error)
{
    if (needsNamespace(event.kind) && !m_network) {
        *error = QStringLiteral("%1 needs the soak's network namespace")
                     .arg(QLatin1String(faultKindName(event.kind)));
        return false;
    }
    ModuleProcess& module = *m_modules[size_t(event.module)];
    bool done = true;
    switch (event.kind) {
    case FaultKind::Restart:
        module.kill();
        break;
    case FaultKind::Frozen:
        module.pause();
        break;
    case FaultKind::Full:
        return takeAllConnections(module, error);
    case FaultKind::Swapped:
        return module.startStandIn(error);
    case FaultKind::NearlyFull: // a reset of its Ethernet side, and HMIs took all but two slots
        done = module.commandOk(faultsCommand(event)) && module.commandOk("drop-connections");
        break;
    case FaultKind::LongScan:
        done = module.commandOk("scan-time-ms " + QByteArray::number(event.setting));
        break;
    case FaultKind::SlowConnects: {
        const int m = event.module;
        m_windows[size_t(m)] = 0;
        m_synsLostBefore[size_t(m)] = m_network->synsLost(m, error);
        if (m_synsLostBefore[size_t(m)] < 0 || !openSynWindow(m, error)) {
            return false;
        }
        const Clock::time_point now = Clock::now();
        schedule(now + std::chrono::milliseconds(kSynWindowMs), m, StepKind::CloseSynWindow);
        schedule(now + std::chrono::milliseconds(kSynWindowEveryMs), m, StepKind::OpenSynWindow);
        return true;
    }
    case FaultKind::NameServerSilent: // the name server goes with the module's switch
        m_queriesBefore[size_t(event.module)] = m_network->queries();
        m_network->silence(true);
        done = module.commandOk("drop-connections");
        if (done) {
            m_watch.expectWholePoll(event.module, event.kind, kReconnectWhileSilent);
            schedule(Clock::now() + std::chrono::milliseconds(kSilentRestartAtMs), event.module,
                     StepKind::KillModule);
        }
        break;
    default:
        done = module.commandOk(faultsCommand(event));
        break;
    }
    if (!done) {
        *error = QStringLiteral("module %1 refused its fault").arg(event.module);
    }
    return done;
}

bool FaultInjector::end(const FaultEvent& event, QString* error)
{
    if (needsNamespace(event.kind) && !m_network) {
        return false; // it never began
    }
    ModuleProcess& module = *m_modules[size_t(event.module)];
    bool done = true;
    switch (event.kind) {
    case FaultKind::Restart:
        return module.start(error);
    case FaultKind::HalfOpen: // it answers again once restarted
        return module.start(error);
    case FaultKind::Swapped: // the module itself is back
        return module.start(error);
    case FaultKind::Frozen:
        module.resume();
        break;
    case FaultKind::Full:
        releaseConnections(event.module);
        break;
    case FaultKind::LongScan:
        done = module.commandOk("scan-time-ms " + QByteArray::number(kNormalScanMs));
        break;
    case FaultKind::SlowConnects: {
        const int m = event.module;
        dropSteps(m);
        if (m_windowOpen[size_t(m)] && !closeSynWindow(m, error)) {
            return false;
        }
        const qint64 lost = m_network->synsLost(m, error);
        m_synsLost[size_t(m)] = lost - m_synsLostBefore[size_t(m)];
        return lost >= 0;
    }
    case FaultKind::NameServerSilent:
        dropSteps(event.module);
        m_network->silence(false);
        m_queries[size_t(event.module)] =
            m_network->queries() - m_queriesBefore[size_t(event.module)];
        if (!module.running()) { // its restart was still to come
            return module.start(error);
        }
        break;
    default:
        done = module.commandOk("faults");
        break;
    }
    if (!done) {
        *error = QStringLiteral("module %1 did not end its fault").arg(event.module);
    }
    return done;
}

std::optional<Clock::time_point> FaultInjector::nextStepAt() const
{
    if (m_steps.empty()) {
        return std::nullopt;
    }
    return m_steps.front().at;
}

bool FaultInjector::runDueSteps(QString* error)
{
    bool done = true;
    while (!m_steps.empty() && m_steps.front().at <= Clock::now()) {
        const Step step = m_steps.front();
        m_steps.erase(m_steps.begin());
        QString failure;
        if (!runStep(step, &failure) && done) {
            done = false;
            *error = failure;
        }
    }
    return done;
}

// The next steps are timed from this one's due time, not from when it ran, so that the windows
// keep their period however long a step took.
bool FaultInjector::runStep(const Step& step, QString* error)
{
    ModuleProcess& module = *m_modules[size_t(step.module)];
    switch (step.kind) {
    case StepKind::OpenSynWindow:
        schedule(step.at + std::chrono::milliseconds(kSynWindowMs), step.module,
                 StepKind::CloseSynWindow);
        schedule(step.at + std::chrono::milliseconds(kSynWindowEveryMs), step.module,
                 StepKind::OpenSynWindow);
        return openSynWindow(step.module, error);
    case StepKind::CloseSynWindow:
        return closeSynWindow(step.module, error);
    case StepKind::KillModule: // a power cut while its name server is away too
        m_watch.interrupt(step.module, FaultKind::NameServerSilent, kReconnectWhileSilent);
        module.kill();
        schedule(step.at + std::chrono::milliseconds(kSilentDownMs), step.module,
                 StepKind::StartModule);
        return true;
    case StepKind::StartModule:
        if (!module.start(error)) {
            return false;
        }
        m_watch.expectWholePoll(step.module, FaultKind::NameServerSilent, kRestartWhileSilent);
        return true;
    }
    return false;
}

// SYNs to the module are lost from now on, and it drops its connections so that the devices
// connect again while they are.
bool FaultInjector::openSynWindow(int module, QString* error)
{
    ModuleProcess& process = *m_modules[size_t(module)];
    if (!m_network->loseSyns(module, process.port(), true, error)) {
        return false;
    }
    m_windowOpen[size_t(module)] = true;
    ++m_windows[size_t(module)];
    if (!process.commandOk("drop-connections")) {
        *error = QStringLiteral("module %1 did not drop its connections").arg(module);
        return false;
    }
    return true;
}

bool FaultInjector::closeSynWindow(int module, QString* error)
{
    m_windowOpen[size_t(module)] = false;
    return m_network->loseSyns(module, m_modules[size_t(module)]->port(), false, error);
}

void FaultInjector::schedule(Clock::time_point at, int module, StepKind kind)
{
    const Step step{at, module, kind};
    m_steps.insert(std::upper_bound(m_steps.begin(), m_steps.end(), step,
                                    [](const Step& a, const Step& b) { return a.at < b.at; }),
                   step);
}

void FaultInjector::dropSteps(int module)
{
    m_steps.erase(std::remove_if(m_steps.begin(), m_steps.end(),
                                 [module](const Step& step) { return step.module == module; }),
                  m_steps.end());
}

QString FaultInjector::networkNote(const FaultEvent& event) const
{
    const size_t m = size_t(event.module);
    switch (event.kind) {
    case FaultKind::SlowConnects:
        return QStringLiteral("SYNs to it lost: %1 in %2 windows")
            .arg(m_synsLost[m])
            .arg(m_windows[m]);
    case FaultKind::NameServerSilent:
        return QStringLiteral("look-ups left unanswered: %1").arg(m_queries[m]);
    default:
        return QString();
    }
}

// Another client (an HMI, a laptop) holds every connection the module has: the module drops its
// connections, as after a reset of its Ethernet side, and the other client takes them all before
// the host comes back. Should the host win a slot all the same, it goes round again.
bool FaultInjector::takeAllConnections(ModuleProcess& module, QString* error)
{
    std::vector<int>& held = m_held[size_t(module.index())];
    for (int attempt = 0; attempt < kAttemptsToFill; ++attempt) {
        releaseConnections(module.index());
        if (!module.commandOk("drop-connections")) {
            break;
        }
        for (int i = 0; i < kMaxConnections; ++i) {
            const int fd = connectTo(module.port());
            if (fd >= 0) {
                held.push_back(fd);
            }
        }
        int answered = 0;
        for (const int fd : held) {
            answered += answersOn(fd) ? 1 : 0;
        }
        if (answered == kMaxConnections) {
            return true;
        }
    }
    releaseConnections(module.index());
    *error = QStringLiteral("could not take every connection of module %1").arg(module.index());
    return false;
}

void FaultInjector::releaseConnections(int module)
{
    for (const int fd : m_held[size_t(module)]) {
        ::close(fd);
    }
    m_held[size_t(module)].clear();
}

} // namespace soak
