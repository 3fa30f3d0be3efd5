// The one way the driver reports: the host's logging function, category 32.
#pragma once

#include "qivma.h"

// The host's function, or a stand-in when the host provides none. Chosen at
// link time: imported `err` on Windows, `kelpra_err` or stderr on POSIX.
QivHostLogFunction HostLogTarget();

// Hands the format and its values to the host unchanged. The values travel
// through the host's variadic function exactly as the call site passes them,
// so a `%08lx` value must be passed as unsigned long and a `%d` as int32_t.
template <typename... Values>
inline void LogToHost(const char *format, Values... values) {
    HostLogTarget()(QIV_LOG_CATEGORY, format, values...);
}
