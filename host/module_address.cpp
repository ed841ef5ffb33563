#include "module_address.h"

#include <cerrno>
#include <cstring>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include "commands.h"
#include "console.h"
#include "posix_net.h"
#include "shell_syntax.h"

namespace kib_host {

bool parseModules(const QCommandLineParser& parser, const QStringList& texts,
                  QList<Module>* modules, int* status)
{
    int port = kCampPort;
    if (!parseNumberOption(parser, QStringLiteral("port"), 1, 65535, &port)) {
        *status = kExitUsage;
        return false;
    }
    for (const QString& text : texts) {
        Module module;
        module.port = static_cast<quint16>(port);
        QString error;
        if (!parseModuleAddress(text, &module.host, &module.port, &error)) {
            *status = fail(kExitUsage, error);
            return false;
        }
        modules->append(module);
    }
    return true;
}

bool noProjectFile(const CommandSetup& setup, const QString& command, int* status)
{
    if (setup.hasProjectFile()) {
        *status = fail(kExitUsage, QStringLiteral("%1 takes no --project: it names the module "
                                                  "and its items itself (kib-host %1 --help)")
                                       .arg(command));
        return false;
    }
    return true;
}

namespace {

QString connectError(int error, const Module& module, int timeoutMs)
{
    switch (error) {
    case ECONNREFUSED:
        return QStringLiteral("refused: nothing listens on port %1").arg(module.port);
    case ETIMEDOUT:
        return QStringLiteral("timed out: no connection within %1 ms").arg(timeoutMs);
    default:
        return QStringLiteral("cannot connect: %1").arg(QString::fromLocal8Bit(strerror(error)));
    }
}

} // namespace

int connectToModule(const Module& module, int timeoutMs, QString* why)
{
    in_addr address;
    if (!posix_net::parseIpv4(module.host, &address)) {
        *why = QStringLiteral("no such host");
        return -1;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        *why =
            QStringLiteral("cannot open a socket: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        return -1;
    }
    const int noDelay = 1; // one small request at a time, each waited for
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    const sockaddr_in target = posix_net::makeAddr(address, module.port);
    int error =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0 ? 0 : errno;
    if (error == EINPROGRESS) {
        socklen_t length = sizeof error;
        if (posix_net::pollWait(fd, POLLOUT, timeoutMs) == 0) {
            error = ETIMEDOUT;
        } else if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
            error = errno;
        }
    }
    if (error != 0) {
        posix_net::closeFd(fd);
        *why = connectError(error, module, timeoutMs);
        return -1;
    }
    return fd;
}

} // namespace kib_host
