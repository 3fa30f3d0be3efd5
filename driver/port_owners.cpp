#include "driver/port_owners.h"

#include "serial/spin_lock.h"

namespace {

// More than the ports that one process opens at once: the POSIX platform
// holds 64, and a host serves a few dozen lines at most.
constexpr int kMaxOwnedPorts = 256;

struct OwnedPort {
    const DriverInstance *owner;
    QivPortHandle port;
};

// Channels on different threads open and close ports at once.
OwnedPort g_owned[kMaxOwnedPorts];
SpinLock g_ownedLock;

OwnedPort *Find(const DriverInstance *owner, QivPortHandle port) {
    for (OwnedPort &entry : g_owned) {
        if (entry.owner == owner && entry.port == port)
            return &entry;
    }
    return nullptr;
}

}  // namespace

bool RecordPortOwner(const DriverInstance *owner, QivPortHandle port) {
    SpinLockHold hold(g_ownedLock);
    if (Find(owner, port) != nullptr)
        return true;
    OwnedPort *free = Find(nullptr, nullptr);
    if (free == nullptr)
        return false;
    *free = {owner, port};
    return true;
}

void ForgetPortOwner(const DriverInstance *owner, QivPortHandle port) {
    SpinLockHold hold(g_ownedLock);
    OwnedPort *entry = Find(owner, port);
    if (entry != nullptr)
        *entry = {nullptr, nullptr};
}

bool OwnsPort(const DriverInstance *owner, QivPortHandle port) {
    if (owner == nullptr || port == nullptr)
        return false;
    SpinLockHold hold(g_ownedLock);
    return Find(owner, port) != nullptr;
}
