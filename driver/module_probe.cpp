#include "module_probe.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "camp_wire.h"

bool resolveIPv4(const QByteArray& host, in_addr& address)
{
    if (inet_pton(AF_INET, host.constData(), &address) == 1) {
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.constData(), nullptr, &hints, &found) != 0 || found == nullptr) {
        return false;
    }
    address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return true;
}

ModuleProbe::State ModuleProbe::start(const QByteArray& host, int port, qint64 nowMs)
{
    close();
    in_addr address{};
    if (port < 1 || port > 0xFFFF || !resolveIPv4(host, address)) {
        return State::Failed;
    }
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return State::Failed;
    }
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<quint16>(port));
    peer.sin_addr = address;
    startedAtMs = nowMs;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof(peer)) != 0 &&
        errno != EINPROGRESS && errno != EAGAIN && errno != EINTR) {
        return finish(State::Failed);
    }
    return look(nowMs, 1);
}

ModuleProbe::State ModuleProbe::look(qint64 nowMs, int patienceMs)
{
    if (fd < 0) {
        return State::Idle;
    }
    pollfd entry{fd, static_cast<short>(sent ? POLLIN : POLLOUT), 0};
    if (::poll(&entry, 1, 0) > 0) {
        if (!sent) {
            int pendingError = 0;
            socklen_t length = sizeof(pendingError);
            const QByteArray request = camp_wire::readRequest(1, 1, 1);
            if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &pendingError, &length) != 0 ||
                pendingError != 0 ||
                ::send(fd, request.constData(), static_cast<size_t>(request.size()),
                       MSG_NOSIGNAL | MSG_DONTWAIT) != request.size()) {
                return finish(State::Failed);
            }
            sent = true;
        } else {
            char chunk[256];
            const ssize_t got = ::recv(fd, chunk, sizeof(chunk), MSG_DONTWAIT);
            if (got <= 0 && !(got < 0 && (errno == EAGAIN || errno == EINTR))) {
                return finish(State::Failed); // closed or reset
            }
            received.append(chunk, static_cast<int>(std::max<ssize_t>(got, 0)));
            const camp_wire::FrameScan scan = camp_wire::scanFrame(received);
            if (scan.status == camp_wire::FrameStatus::Frame) {
                return finish(camp_wire::hasGoodBcc(scan.frame) ? State::Answered : State::Failed);
            }
            if (scan.status == camp_wire::FrameStatus::GiveUp) {
                return finish(State::Failed);
            }
        }
    }
    return nowMs - startedAtMs < patienceMs ? State::Waiting : finish(State::Failed);
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
    sent = false;
    received.clear();
}
