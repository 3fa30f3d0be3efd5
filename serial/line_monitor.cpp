#include "serial/line_monitor.h"

#include "serial/comm_platform.h"
#include "serial/spin_lock.h"

namespace {

// The monitor and its context are set together and read together, so that
// a channel on another thread never calls one with the other's context.
struct Registration {
    QivLineMonitor monitor;
    void *context;
};
Registration g_registration = {nullptr, nullptr};
SpinLock g_registrationLock;

Registration CurrentRegistration() {
    SpinLockHold hold(g_registrationLock);
    return g_registration;
}

}  // namespace

void SetLineMonitor(QivLineMonitor monitor, void *context) {
    SpinLockHold hold(g_registrationLock);
    g_registration = {monitor, context};
}

void ReportLine(QivPortHandle port, int32_t kind, const void *bytes, uint32_t count) {
    if (count == 0) {
        return;
    }
    const Registration registration = CurrentRegistration();
    if (registration.monitor == nullptr) {
        return;
    }
    const QivLineEvent event = {
        port, kind, count, static_cast<const char *>(bytes), PlatformMonotonicMicroseconds(), 0};
    registration.monitor(registration.context, &event);
}

void ReportLineFailure(QivPortHandle port) {
    // A channel on the null device has no line to fail.
    if (port == QIV_INVALID_PORT_HANDLE) {
        return;
    }
    // Read before the clock, which may itself be a platform call.
    const uint32_t error = PlatformLastError();
    const Registration registration = CurrentRegistration();
    if (registration.monitor == nullptr) {
        return;
    }
    const QivLineEvent event = {port, QIV_LINE_FAILED, 0, "", PlatformMonotonicMicroseconds(),
                                error};
    registration.monitor(registration.context, &event);
}
