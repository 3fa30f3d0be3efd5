#include "serial/line_monitor.h"

#include "serial/comm_platform.h"

namespace {

// Calls into the driver come one at a time, so plain variables do.
QivLineMonitor g_monitor = nullptr;
void *g_context = nullptr;

}  // namespace

void SetLineMonitor(QivLineMonitor monitor, void *context) {
    g_monitor = monitor;
    g_context = context;
}

void ReportLine(QivPortHandle port, int32_t kind, const void *bytes, uint32_t count) {
    if (g_monitor == nullptr || count == 0) {
        return;
    }
    const QivLineEvent event = {
        port, kind, count, static_cast<const char *>(bytes), PlatformMonotonicMicroseconds(), 0};
    g_monitor(g_context, &event);
}

void ReportLineFailure(QivPortHandle port) {
    // A channel on the null device has no line to fail.
    if (g_monitor == nullptr || port == QIV_INVALID_PORT_HANDLE) {
        return;
    }
    // Read before the clock, which may itself be a platform call.
    const uint32_t error = PlatformLastError();
    const QivLineEvent event = {port, QIV_LINE_FAILED, 0, "", PlatformMonotonicMicroseconds(),
                                error};
    g_monitor(g_context, &event);
}
