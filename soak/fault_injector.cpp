#include "fault_injector.h"

#include "soak_plan.h"

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

FaultInjector::FaultInjector(std::vector<std::unique_ptr<ModuleProcess>>& modules)
    : m_modules(modules), m_held(modules.size())
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
    default:
        done = module.commandOk("faults");
        break;
    }
    if (!done) {
        *error = QStringLiteral("module %1 did not end its fault").arg(event.module);
    }
    return done;
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
