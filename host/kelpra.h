/*
 * Stand-in for the host's logging library, for qivma's own tools and tests.
 * It provides the logging function that the driver calls (`err` in
 * KELPRA.dll on Windows, `kelpra_err` in libkelpra.so elsewhere), prints each
 * message to stderr, and lets the program that links it capture them.
 */
#ifndef KELPRA_H
#define KELPRA_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#ifdef KELPRA_BUILDING
#define KELPRA_API __declspec(dllexport)
#else
#define KELPRA_API __declspec(dllimport)
#endif
#else
#define KELPRA_API __attribute__((visibility("default")))
#endif

/* The host's logging function that the driver binds (qivma.h declares it for
 * hosts), exported from here. */
#if defined(_WIN32)
KELPRA_API int __cdecl err(int32_t category, const char *format, ...);
#else
KELPRA_API int kelpra_err(int32_t category, const char *format, ...);
#endif

/* Receives every message: its category, the driver's format unchanged, and
 * the formatted text. */
typedef void (*KelpraSink)(void *context, int32_t category, const char *format,
                           const char *message);

/* Installs the sink (null removes it). */
KELPRA_API void kelpra_set_sink(KelpraSink sink, void *context);

/* 1 (the default) prints each message to stderr; 0 keeps stderr quiet. */
KELPRA_API void kelpra_set_echo(int on);

#ifdef __cplusplus
}
#endif

#endif
