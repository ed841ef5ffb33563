#include "module_probe.h"

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "camp_wire.h"
#include "host_resolver.h"

namespace {

// The probe's request: one word of V1.
constexpr qint32 kProbeClass = 1;
constexpr quint32 kProbeAddress = 1;

bool isReady(int fd, short events)
{
    pollfd entry{fd, events, 0};
    return ::poll(&entry, 1, 0) > 0;
}

// A reply to the probe's own request: a read reply of its one word (echoing its class and address
// or zeros there, as a module that does not echo writes), or an error reply.
bool answersProbe(const QByteArray& frame)
{
    if (!camp_wire::hasGoodBcc(frame)) {
        return false;
    }
    camp_wire::ErrorCodes codes;
    if (camp_wire::errorReplyCodes(frame, codes)) {
        return true;
    }
    camp_wire::Words words;
    return camp_wire::isReadReply(frame) &&
           (camp_wire::echoesRequest(frame, kProbeClass, kProbeAddress) ||
            camp_wire::echoesRequest(frame, 0, 0)) &&
           camp_wire::readReplyWords(frame, 1, words) && words.size() == 1;
}

} // namespace

ModuleProbe::State ModuleProbe::start(const QByteArray& target, int targetPort, qint64 nowMs,
                                      int patience)
{
    close();
    if (targetPort < 1 || targetPort > 0xFFFF) {
        return State::Failed;
    }
    host = target;
    port = targetPort;
    patienceMs = patience;
    step = Step::Resolving;
    stepStartedAtMs = nowMs;
    return look(nowMs);
}

ModuleProbe::State ModuleProbe::look(qint64 nowMs)
{
    switch (step) {
    case Step::None:
        return State::Idle;
    case Step::Resolving: {
        const HostResolver::Answer answer = HostResolver::shared().lookUp(host);
        if (answer.status == HostResolver::Status::Resolved) {
            return connectTo(answer.address, nowMs);
        }
        if (answer.status != HostResolver::Status::Pending) {
            return finish(State::Failed);
        }
        break;
    }
    case Step::Connecting:
        if (isReady(fd, POLLOUT)) {
            return sendRequest(nowMs);
        }
        break;
    case Step::AwaitingReply:
        if (isReady(fd, POLLIN)) {
            const State state = receiveReply();
            if (state != State::Waiting) {
                return state;
            }
        }
        break;
    }
    return nowMs - stepStartedAtMs < patienceMs ? State::Waiting : finish(State::Failed);
}

ModuleProbe::State ModuleProbe::connectTo(const in_addr& address, qint64 nowMs)
{
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return finish(State::Failed);
    }
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<quint16>(port));
    peer.sin_addr = address;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof(peer)) != 0 &&
        errno != EINPROGRESS && errno != EAGAIN && errno != EINTR) {
        return finish(State::Failed);
    }
    // The name's time counts towards the connection's: both are the device's time-out.
    step = Step::Connecting;
    return look(nowMs);
}

// The connection is made (or failed): the request goes out, and the reply has its own patience.
ModuleProbe::State ModuleProbe::sendRequest(qint64 nowMs)
{
    int pendingError = 0;
    socklen_t length = sizeof(pendingError);
    const QByteArray request = camp_wire::readRequest(kProbeClass, kProbeAddress, 1);
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &pendingError, &length) != 0 || pendingError != 0 ||
        ::send(fd, request.constData(), static_cast<size_t>(request.size()),
               MSG_NOSIGNAL | MSG_DONTWAIT) != request.size()) {
        return finish(State::Failed);
    }
    step = Step::AwaitingReply;
    stepStartedAtMs = nowMs;
    return State::Waiting;
}

ModuleProbe::State ModuleProbe::receiveReply()
{
    char chunk[256];
    const ssize_t got = ::recv(fd, chunk, sizeof(chunk), MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
        return State::Waiting;
    }
    if (got <= 0) {
        return finish(State::Failed); // closed or reset
    }
    received.append(chunk, static_cast<int>(got));
    const camp_wire::FrameScan scan = camp_wire::scanFrame(received);
    if (scan.status == camp_wire::FrameStatus::NeedMore) {
        received = scan.rest;
        return State::Waiting;
    }
    return finish(scan.status == camp_wire::FrameStatus::Frame && answersProbe(scan.frame)
                      ? State::Answered
                      : State::Failed);
}

ModuleProbe::State ModuleProbe::finish(State state)
{
    close();
    return state;
}

void ModuleProbe::close()
{
    if (fd >= 0) {
        ::close(fd);
    }
    fd = -1;
    step = Step::None;
    received.clear();
}
