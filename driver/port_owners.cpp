#include "driver/port_owners.h"

namespace {

// More than the ports that one process opens at once: the POSIX platform
// holds 64, and a host serves a few dozen lines at most.
constexpr int kMaxOwnedPorts = 256;

struct OwnedPort {
    const DriverInstance *owner;
    QivPortHandle port;
};

// Calls into the driver are made one at a time, also across channels.
OwnedPort g_owned[kMaxOwnedPorts];

OwnedPort *Find(const DriverInstance *owner, QivPortHandle port) {
    for (OwnedPort &entry : g_owned) {
        if (entry.owner == owner && entry.port == port)
            return &entry;
    }
    return nullptr;
}

}  // namespace

bool RecordPortOwner(const DriverInstance *owner, QivPortHandle port) {
    if (Find(owner, port) != nullptr)
        return true;
    OwnedPort *free = Find(nullptr, nullptr);
    if (free == nullptr)
        return false;
    *free = {owner, port};
    return true;
}

void ForgetPortOwner(const DriverInstance *owner, QivPortHandle port) {
    OwnedPort *entry = Find(owner, port);
    if (entry != nullptr)
        *entry = {nullptr, nullptr};
}

bool OwnsPort(const DriverInstance *owner, QivPortHandle port) {
    return owner != nullptr && port != nullptr && Find(owner, port) != nullptr;
}
