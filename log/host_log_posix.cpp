// POSIX: the C library already owns `err` (it prints and exits), so the host
// provides `kelpra_err`. The weak reference is bound by the dynamic loader
// when the library is loaded; a process without it logs to stderr.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "log/host_log.h"

extern "C" int kelpra_err(int32_t category, const char *format, ...) __attribute__((weak));

namespace {

int WriteToStderr(int32_t /*category*/, const char *format, ...) {
    va_list values;
    va_start(values, format);
    vfprintf(stderr, format, values);
    va_end(values);
    const size_t length = strlen(format);
    if (length == 0 || format[length - 1] != '\n') {
        fputc('\n', stderr);
    }
    return 0;
}

}  // namespace

QivHostLogFunction HostLogTarget() {
    return kelpra_err != nullptr ? kelpra_err : WriteToStderr;
}
