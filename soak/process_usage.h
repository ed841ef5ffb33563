// What the host process holds: open descriptors, the connections among them, and resident
// memory, from /proc/self.
#pragma once

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSet>

#include <unistd.h>

namespace soak {

inline int openDescriptors()
{
    return static_cast<int>(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files).size());
}

// This process's established TCP connections to any of these ports. A host may hold fewer of
// them at the end than at the start (a module that refused a further connection is polled over
// fewer for a while) without leaking anything.
inline int connectionsTo(const QSet<quint16>& ports)
{
    QSet<QByteArray> sockets; // the inodes of this process's sockets
    const QDir descriptors(QStringLiteral("/proc/self/fd"));
    for (const QString& name : descriptors.entryList(QDir::AllEntries | QDir::System)) {
        char link[64] = {};
        const QByteArray path = QFile::encodeName(descriptors.filePath(name));
        const ssize_t size = ::readlink(path.constData(), link, sizeof link - 1);
        const QByteArray target(link, size > 0 ? int(size) : 0);
        if (target.startsWith("socket:[") && target.endsWith(']')) {
            sockets.insert(target.mid(8, target.size() - 9));
        }
    }
    int connections = 0;
    for (const char* table : {"/proc/self/net/tcp", "/proc/self/net/tcp6"}) {
        QFile file(QString::fromLatin1(table));
        if (!file.open(QIODevice::ReadOnly)) {
            continue;
        }
        file.readLine(); // the column names
        // sl local_address rem_address st tx:rx tr:when retrnsmt uid timeout inode ...
        for (QByteArray line = file.readLine(); !line.isEmpty(); line = file.readLine()) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() < 10 || fields[3] != "01") { // 01: established
                continue;
            }
            const quint16 remotePort =
                quint16(fields[2].mid(fields[2].indexOf(':') + 1).toUInt(nullptr, 16));
            connections += ports.contains(remotePort) && sockets.contains(fields[9]) ? 1 : 0;
        }
    }
    return connections;
}

inline qint64 residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) {
        return -1;
    }
    static const QRegularExpression rss(QStringLiteral("VmRSS:\\s*(\\d+) kB"));
    const QRegularExpressionMatch match = rss.match(QString::fromLatin1(status.readAll()));
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

} // namespace soak
