#pragma once
// A one-connection TCP peer on 127.0.0.1 for byte patterns the simulated PLC never produces: it
// accepts one connection, waits for the first request frame, answers with a fixed byte string in
// one send, then drains the connection until the driver closes it.

#include <QByteArray>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

class ScriptedPeer
{
public:
    explicit ScriptedPeer(QByteArray reply) : reply(std::move(reply))
    {
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(listener, 1) != 0 ||
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            return;
        }
        boundPort = ntohs(address.sin_port);
        server = std::thread([this] { serve(); });
    }

    ~ScriptedPeer()
    {
        if (server.joinable()) {
            server.join();
        }
        if (listener >= 0) {
            ::close(listener);
        }
    }

    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    quint16 port() const { return boundPort; }

private:
    static constexpr int kPatienceMs = 10000; // only bounds a test that went wrong

    static bool readable(int fd)
    {
        pollfd entry{fd, POLLIN, 0};
        return ::poll(&entry, 1, kPatienceMs) > 0;
    }

    void serve()
    {
        if (!readable(listener)) {
            return;
        }
        const int peer = ::accept(listener, nullptr, nullptr);
        if (peer < 0) {
            return;
        }
        QByteArray request;
        char buffer[256];
        while (!request.contains(']') && readable(peer)) {
            const ssize_t n = ::recv(peer, buffer, sizeof(buffer), 0);
            if (n <= 0) {
                break;
            }
            request.append(buffer, static_cast<int>(n));
        }
        ::send(peer, reply.constData(), static_cast<size_t>(reply.size()), MSG_NOSIGNAL);
        while (readable(peer) && ::recv(peer, buffer, sizeof(buffer), 0) > 0) {
        }
        ::close(peer);
    }

    QByteArray reply;
    int listener = -1;
    quint16 boundPort = 0;
    std::thread server;
};
