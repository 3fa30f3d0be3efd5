#include "host/kelpra.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

namespace {

KelpraSink g_sink = nullptr;
void *g_sinkContext = nullptr;
int g_echo = 1;

int Deliver(int32_t category, const char *format, va_list values) {
    char message[1024];
    vsnprintf(message, sizeof message, format, values);
    if (g_sink != nullptr) {
        g_sink(g_sinkContext, category, format, message);
    }
    if (g_echo != 0) {
        const size_t length = strlen(message);
        const bool hasLineEnd = length > 0 && message[length - 1] == '\n';
        fprintf(stderr, "err(%d): %s%s", static_cast<int>(category), message,
                hasLineEnd ? "" : "\n");
    }
    return 0;
}

}  // namespace

extern "C" {

void kelpra_set_sink(KelpraSink sink, void *context) {
    g_sink = sink;
    g_sinkContext = context;
}

void kelpra_set_echo(int on) {
    g_echo = on;
}

// The host's logging entry, under the name that the platform's driver binds.
#if defined(_WIN32)
int __cdecl err(int32_t category, const char *format, ...)
#else
int kelpra_err(int32_t category, const char *format, ...)
#endif
{
    va_list values;
    va_start(values, format);
    const int result = Deliver(category, format, values);
    va_end(values);
    return result;
}

}  // extern "C"
