#pragma once
// One lock per module for its writes, whichever of the plugin's devices makes them. A host may
// configure one module twice (a fast and a slow poll group, say): a bit write reads its word and
// writes it back with one bit changed, and two such writes that interleave put back a bit the
// other has just set. Modules are told apart by the address and port their connection went to,
// after resolution, so two names of one module share its lock.
//
// A write takes its module's lock inside its device's session lock and holds no other module's:
// no two locks are ever waited for in opposite orders.

#include <QByteArray>
#include <QMutex>

#include <map>
#include <memory>

#include "mutex_locker.h"

class ModuleWriteLocks
{
public:
    // The lock of the module at "ADDRESS:PORT", shared with every device that writes to it now.
    std::shared_ptr<QMutex> lockFor(const QByteArray& module)
    {
        MutexLocker lock(mutex);
        // The locks of modules nobody writes to any more go, so the map stays as small as the
        // number of modules written at once.
        for (auto it = locks.begin(); it != locks.end();) {
            it = it->second.expired() ? locks.erase(it) : std::next(it);
        }
        auto entry = locks.find(module);
        if (entry == locks.end()) {
            // A key of its own: the caller's text is shared data that other threads release.
            entry =
                locks
                    .emplace(QByteArray(module.constData(), module.size()), std::weak_ptr<QMutex>())
                    .first;
        }
        std::shared_ptr<QMutex> moduleLock = entry->second.lock();
        if (!moduleLock) {
            moduleLock = std::make_shared<QMutex>();
            entry->second = moduleLock;
        }
        return moduleLock;
    }

private:
    QMutex mutex; // held only for the look-up
    std::map<QByteArray, std::weak_ptr<QMutex>> locks;
};
