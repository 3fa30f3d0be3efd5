/*
 * qivma: MEWTOCOL-COM driver for FP3/FP5/FP10-class programmable controllers.
 *
 * The host interface: the blocks that cross QivMain, the command and status
 * codes, the entry point itself and the logging function that the host
 * provides. Every block is a plain little-endian record owned by the host.
 *
 * Byte offsets. The offsets in the comments are those of a 32-bit build (the
 * Windows DLL that hosts load, and Linux -m32); they are fixed and checked at
 * compile time below. A 64-bit build keeps the same records with natural
 * alignment: pointers and the port handle take 8 bytes there, and the second
 * offset column ("64:") gives where each field then lies. Both sets are checked.
 */
#ifndef QIVMA_H
#define QIVMA_H

#include <stddef.h>
#include <stdint.h>

#include "qivma_version.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define QIVMA_CALL __stdcall
#ifdef QIVMA_BUILDING
/* The export itself is named by the module-definition file. */
#define QIVMA_API
#else
#define QIVMA_API __declspec(dllimport)
#endif
#else
#define QIVMA_CALL
#define QIVMA_API __attribute__((visibility("default")))
#endif

/* ---- Command codes (DriverRequest.command) ------------------------------ */

enum {
    QIV_CMD_COLD_START = 1,  /* params: PortConfig */
    QIV_CMD_PURGE_INPUT = 2, /* params: none */
    QIV_CMD_PARSE_TAG = 3,   /* params: TagDefinition */
    QIV_CMD_REPARSE_TAG = 4, /* params: TagDefinition */
    QIV_CMD_READ_VALUE = 5,  /* params: TagAccess */
    QIV_CMD_READ_BLOCK = 6,  /* params: TagAccess */
    QIV_CMD_WRITE_VALUE = 7, /* params: TagAccess */
    /* 8 and 9 have no operation: QivMain refuses them with QIV_STATUS_REFUSED. */
    QIV_CMD_WRITE_BLOCK = 10,      /* params: TagAccess */
    QIV_CMD_END = 11,              /* params: none */
    QIV_CMD_CLOSE_PORT = 12,       /* params: none */
    QIV_CMD_OPEN_PORT = 13,        /* params: none */
    QIV_CMD_GET_DRIVER_INFO = 14,  /* params: DriverInfo; needs no instance */
    QIV_CMD_RECONFIGURE_PORT = 15, /* params: PortReconfig */
    QIV_CMD_COUNT = 15
};

/* ---- Status codes (the result of QivMain) ------------------------------- */

enum {
    QIV_STATUS_OK = 0,
    /* The request was refused (bad address, uncomposable frame, unknown code)
     * or the controller's answer was wrong or incomplete. */
    QIV_STATUS_REFUSED = 1,
    /* The port or the line failed: it did not open or close, nothing came. */
    QIV_STATUS_LINE_FAILURE = 2
};

/* ---- Host data-type codes (TagDefinition.dataType) ----------------------- */

enum {
    QIV_TYPE_WORD = 0,    /* 16 bits; so is every code not listed here */
    QIV_TYPE_DWORD = 3,   /* 32 bits; so are 4 and 5 */
    QIV_TYPE_DWORD_4 = 4, /* 32 bits */
    QIV_TYPE_DWORD_5 = 5, /* 32 bits */
    QIV_TYPE_BIT = 6,     /* one bit of a 16-bit word */
    QIV_TYPE_REJECTED = 7 /* always refused by ParseTag */
};

/* ---- Serial line settings ------------------------------------------------ */

enum { QIV_STOPBITS_ONE = 0, QIV_STOPBITS_ONE_AND_HALF = 1, QIV_STOPBITS_TWO = 2 };

enum {
    QIV_PARITY_NONE = 0,
    QIV_PARITY_ODD = 1,
    QIV_PARITY_EVEN = 2,
    QIV_PARITY_MARK = 3,
    QIV_PARITY_SPACE = 4
};

/* Open flags kept in PortOpenParams.openFlags; the first test that matches
 * decides each modem line (DTR: 0x0101, then 0x8000; RTS: 0x0202, 0x1000,
 * 0x2000). ColdStart records QIV_OPEN_DTR_ENABLE alone. */
enum {
    QIV_OPEN_DTR_ENABLE = 0x0101,
    QIV_OPEN_RTS_ENABLE = 0x0202,
    QIV_OPEN_RTS_HANDSHAKE = 0x1000,
    QIV_OPEN_RTS_TOGGLE = 0x2000,
    QIV_OPEN_DTR_HANDSHAKE = 0x8000
};

/* Line rate and character format; 8 bytes on every build. */
typedef struct SerialLineSettings {
    uint16_t baudRate; /* 0: bit/s (a rate above 65535 cannot be expressed) */
    uint16_t dataBits; /* 2: low byte used */
    uint16_t stopBits; /* 4: QIV_STOPBITS_*, low byte used */
    uint16_t parity;   /* 6: QIV_PARITY_*, low byte used */
} SerialLineSettings;

#define QIV_PORT_NAME_SIZE 12

/* What a channel opens and reopens its port with; 22 bytes on every build. */
typedef struct PortOpenParams {
    char portName[QIV_PORT_NAME_SIZE]; /* 0: NUL-terminated, at most 11 characters */
    SerialLineSettings lineSettings;   /* 12 */
    uint16_t openFlags;                /* 20: QIV_OPEN_* */
} PortOpenParams;

/* The platform's handle of an open port. 0 (null): no port open.
 * QIV_INVALID_PORT_HANDLE (all bits set): the channel's "NULLDEV" device. */
typedef void *QivPortHandle;
#define QIV_INVALID_PORT_HANDLE ((QivPortHandle)(intptr_t)-1)

/* ---- Host blocks ---------------------------------------------------------- */

struct DriverInstance;

/* One call of QivMain. The driver reads the first 20 bytes (32-bit build). */
typedef struct DriverRequest {
    struct DriverInstance *instance; /* 0,  64: 0  the channel's work area */
    int32_t command;                 /* 4,  64: 8  QIV_CMD_* */
    uint8_t unit;                    /* 8,  64: 12 recorded by ColdStart */
    uint8_t reserved[7];             /* 9,  64: 13 not read by the driver */
    void *params;                    /* 16, 64: 24 the command's parameter block */
} DriverRequest;

#define QIV_TX_FRAME_SIZE 2060
#define QIV_RX_FRAME_SIZE 2048

/* A channel's work area: allocated by the host with DriverInfo.instanceSize
 * bytes (4180 on 32-bit builds) and passed with every request of the channel.
 * The driver keeps all of a channel's state here and allocates nothing. */
typedef struct DriverInstance {
    int32_t timeout;                 /* 0,    64: 0    response time-out, 10 ms units */
    int32_t portEnabled;             /* 4,    64: 4 */
    QivPortHandle port;              /* 8,    64: 8 */
    PortOpenParams openParams;       /* 12,   64: 16   (then 2 bytes of alignment) */
    int32_t instanceNumber;          /* 36,   64: 40   channel number in log messages */
    uint8_t unit;                    /* 40,   64: 44   (then 3 bytes of alignment) */
    int16_t *valuePtr;               /* 44,   64: 48   word 1 of the host's buffer */
    int16_t *valuePtr0;              /* 48,   64: 56   word 0 of the host's buffer */
    uint8_t reserved[12];            /* 52,   64: 64   never touched */
    char txFrame[QIV_TX_FRAME_SIZE]; /* 64,   64: 76   last request frame, NUL-terminated */
    char rxFrame[QIV_RX_FRAME_SIZE]; /* 2124, 64: 2136 last response as received */
    int32_t txLength;                /* 4172, 64: 4184 */
    int32_t rxLength;                /* 4176, 64: 4188 */
} DriverInstance;                    /* 4180, 64: 4192 */

/* Parameter block of QIV_CMD_COLD_START; the driver reads 28 bytes. */
typedef struct PortConfig {
    char portName[QIV_PORT_NAME_SIZE]; /* 0: "NULLDEV" (any case) selects the null device */
    int32_t enable;                    /* 12: 0 runs the channel without a port */
    int32_t timeout;                   /* 16: response time-out, 10 ms units */
    SerialLineSettings lineSettings;   /* 20 */
} PortConfig;

/* Parameter block of QIV_CMD_RECONFIGURE_PORT; the driver reads 24 bytes. */
typedef struct PortReconfig {
    char portName[QIV_PORT_NAME_SIZE]; /* 0 */
    int32_t timeout;                   /* 12: 0 keeps the recorded time-out */
    SerialLineSettings lineSettings;   /* 16 */
} PortReconfig;

/* Filled by QIV_CMD_GET_DRIVER_INFO. The texts are constants of the library. */
typedef struct DriverInfo {
    int32_t version;                        /* 0,  64: 0   70 for version 7.0 */
    const char *driverName;                 /* 4,  64: 8   "Matsushita" */
    const char *banner;                     /* 8,  64: 16  code page 437 text */
    int32_t instanceSize;                   /* 12, 64: 24  sizeof(DriverInstance) */
    int32_t defaultTimeout;                 /* 16, 64: 28  10 ms units */
    SerialLineSettings defaultLineSettings; /* 20, 64: 32  19200, 8, one stop bit, odd */
    int32_t reserved;                       /* 28, 64: 40  always 0 */
} DriverInfo;                               /* 32, 64: 48 */

/* Parameter block of QIV_CMD_PARSE_TAG and QIV_CMD_REPARSE_TAG. */
typedef struct TagDefinition {
    const char *addressText; /* 0,  64: 0   in: e.g. "01D00100" */
    int32_t reserved;        /* 4,  64: 8   not read */
    int32_t dataType;        /* 8,  64: 12  in: QIV_TYPE_* */
    int32_t count;           /* 12, 64: 16  in: number of elements */
    int32_t station;         /* 16, 64: 20  out */
    int32_t device;          /* 20, 64: 24  out: device letter, upper case */
    int32_t wordAddress;     /* 24, 64: 28  out */
    int32_t bitNumber;       /* 28, 64: 32  out: 0-15, or 255 for no bit */
    int32_t width;           /* 32, 64: 36  out: 1, 16 or 32 */
} TagDefinition;             /* 36, 64: 40 */

/* Parameter block of the read and write commands: the fields that ParseTag
 * produced, plus the host's value buffer. */
typedef struct TagAccess {
    uint8_t reserved0[8]; /* 0,  64: 0   not read */
    int32_t station;      /* 8,  64: 8 */
    int32_t device;       /* 12, 64: 12 */
    int32_t wordAddress;  /* 16, 64: 16 */
    int32_t bitNumber;    /* 20, 64: 20 */
    int32_t width;        /* 24, 64: 24 */
    int32_t dataType;     /* 28, 64: 28 */
    int32_t count;        /* 32, 64: 32 */
    int32_t reserved1;    /* 36, 64: 36  not read */
    int16_t *data;        /* 40, 64: 40  the host's value buffer */
} TagAccess;              /* 44, 64: 48 */

/* ---- Entry point ---------------------------------------------------------- */

/* The library's entry point. Returns a QIV_STATUS_* code. */
QIVMA_API int32_t QIVMA_CALL QivMain(DriverRequest *request);

typedef int32_t(QIVMA_CALL *QivMainFunction)(DriverRequest *request);

/* ---- The line monitor (optional) -------------------------------------------
 * A host that wants to see the line as the driver sees it hands the driver a
 * function: it is then called, on the thread that called QivMain, with every
 * byte that the driver writes to a port, reads from it, or reads and throws
 * away, in the order they pass. Nothing changes for a host that never sets
 * one. One monitor serves the whole process; a null function removes it. The
 * bytes are the driver's: copy what is to be kept. */

enum {
    QIV_LINE_WRITTEN = 1,   /* went out: a request frame */
    QIV_LINE_READ = 2,      /* came in and was looked at */
    QIV_LINE_DISCARDED = 3, /* came in and was thrown away unread: it was not for the
                               request at hand (left from before, or a purge) */
    QIV_LINE_FAILED = 4     /* the port refused a read or a write: no bytes (count 0),
                               `error` holds the system's error code. A port that fails
                               so is gone or broken, which a silent station is not. */
};

typedef struct QivLineEvent {
    QivPortHandle port;    /* the channel's port */
    int32_t kind;          /* QIV_LINE_* */
    uint32_t count;        /* bytes */
    const char *bytes;     /* count bytes, not NUL-terminated */
    uint64_t microseconds; /* a clock that only goes forward, in microseconds */
    uint32_t error;        /* QIV_LINE_FAILED: the system's error code; 0 otherwise */
} QivLineEvent;

typedef void(QIVMA_CALL *QivLineMonitor)(void *context, const QivLineEvent *event);

/* Sets the process's line monitor and its context; returns QIV_STATUS_OK. */
QIVMA_API int32_t QIVMA_CALL QivSetLineMonitor(QivLineMonitor monitor, void *context);

typedef int32_t(QIVMA_CALL *QivSetLineMonitorFunction)(QivLineMonitor monitor, void *context);

/* ---- The host's logging function -------------------------------------------
 * Every diagnostic goes to the host with category 32 and a printf-style
 * format. On Windows the driver imports `err` by name from KELPRA.dll. On
 * POSIX systems the C library already owns the name `err`, so the host
 * provides `kelpra_err` instead; without one the driver writes to stderr. */

#define QIV_LOG_CATEGORY 32

typedef int (*QivHostLogFunction)(int32_t category, const char *format, ...);

#if defined(_WIN32)
__declspec(dllimport) int __cdecl err(int32_t category, const char *format, ...);
#else
int kelpra_err(int32_t category, const char *format, ...);
#endif

/* ---- Layout checks ---------------------------------------------------------- */

#if defined(__cplusplus)
#define QIVMA_LAYOUT_CHECK(cond, what) static_assert(cond, what)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define QIVMA_LAYOUT_CHECK(cond, what) _Static_assert(cond, what)
#endif

#ifdef QIVMA_LAYOUT_CHECK
#if UINTPTR_MAX == 0xFFFFFFFFu
#define QIVMA_AT(off32, off64) (off32)
#else
#define QIVMA_AT(off32, off64) (off64)
#endif

QIVMA_LAYOUT_CHECK(sizeof(SerialLineSettings) == 8, "SerialLineSettings size");
QIVMA_LAYOUT_CHECK(offsetof(SerialLineSettings, dataBits) == 2, "dataBits");
QIVMA_LAYOUT_CHECK(offsetof(SerialLineSettings, stopBits) == 4, "stopBits");
QIVMA_LAYOUT_CHECK(offsetof(SerialLineSettings, parity) == 6, "parity");
QIVMA_LAYOUT_CHECK(sizeof(PortOpenParams) == 22, "PortOpenParams size");
QIVMA_LAYOUT_CHECK(offsetof(PortOpenParams, lineSettings) == 12, "lineSettings");
QIVMA_LAYOUT_CHECK(offsetof(PortOpenParams, openFlags) == 20, "openFlags");

QIVMA_LAYOUT_CHECK(offsetof(DriverRequest, command) == QIVMA_AT(4, 8), "command");
QIVMA_LAYOUT_CHECK(offsetof(DriverRequest, unit) == QIVMA_AT(8, 12), "request unit");
QIVMA_LAYOUT_CHECK(offsetof(DriverRequest, params) == QIVMA_AT(16, 24), "params");

QIVMA_LAYOUT_CHECK(offsetof(DriverInstance, portEnabled) == 4, "portEnabled");
QIVMA_LAYOUT_CHECK(offsetof(DriverInstance, port) == 8, "port");
QIVMA_LAYOUT_CHECK(offsetof(DriverInstance, openParams) == QIVMA_AT(12, 16), "openParams");
QIVMA_LAYOUT_CHECK(offsetof(DriverInstance, instanceNumber) == QIVMA_AT(36, 40), "number");
QIVMA_LAYOUT_CHECK(offsetof(DriverInstance, unit) == QIVMA_AT(40, 44), "instance unit");
QIVMA_LAYOUT_CHECK(offsetof(DriverInstance, valuePtr) == QIVMA_AT(44, 48), "valuePtr");
QIVMA_LAYOUT_CHECK(offsetof(DriverInstance, valuePtr0) == QIVMA_AT(48, 56), "valuePtr0");
QIVMA_LAYOUT_CHECK(offsetof(DriverInstance, reserved) == QIVMA_AT(52, 64), "reserved");
QIVMA_LAYOUT_CHECK(offsetof(DriverInstance, txFrame) == QIVMA_AT(64, 76), "txFrame");
QIVMA_LAYOUT_CHECK(offsetof(DriverInstance, rxFrame) == QIVMA_AT(2124, 2136), "rxFrame");
QIVMA_LAYOUT_CHECK(offsetof(DriverInstance, txLength) == QIVMA_AT(4172, 4184), "txLength");
QIVMA_LAYOUT_CHECK(offsetof(DriverInstance, rxLength) == QIVMA_AT(4176, 4188), "rxLength");
QIVMA_LAYOUT_CHECK(sizeof(DriverInstance) == QIVMA_AT(4180, 4192), "DriverInstance size");

QIVMA_LAYOUT_CHECK(offsetof(PortConfig, enable) == 12, "enable");
QIVMA_LAYOUT_CHECK(offsetof(PortConfig, timeout) == 16, "PortConfig timeout");
QIVMA_LAYOUT_CHECK(offsetof(PortConfig, lineSettings) == 20, "PortConfig lineSettings");
QIVMA_LAYOUT_CHECK(sizeof(PortConfig) == 28, "PortConfig size");

QIVMA_LAYOUT_CHECK(offsetof(PortReconfig, timeout) == 12, "PortReconfig timeout");
QIVMA_LAYOUT_CHECK(offsetof(PortReconfig, lineSettings) == 16, "PortReconfig lineSettings");
QIVMA_LAYOUT_CHECK(sizeof(PortReconfig) == 24, "PortReconfig size");

QIVMA_LAYOUT_CHECK(offsetof(DriverInfo, driverName) == QIVMA_AT(4, 8), "driverName");
QIVMA_LAYOUT_CHECK(offsetof(DriverInfo, banner) == QIVMA_AT(8, 16), "banner");
QIVMA_LAYOUT_CHECK(offsetof(DriverInfo, instanceSize) == QIVMA_AT(12, 24), "instanceSize");
QIVMA_LAYOUT_CHECK(offsetof(DriverInfo, defaultTimeout) == QIVMA_AT(16, 28), "defaultTimeout");
QIVMA_LAYOUT_CHECK(offsetof(DriverInfo, defaultLineSettings) == QIVMA_AT(20, 32), "lines");
QIVMA_LAYOUT_CHECK(offsetof(DriverInfo, reserved) == QIVMA_AT(28, 40), "info reserved");
QIVMA_LAYOUT_CHECK(sizeof(DriverInfo) == QIVMA_AT(32, 48), "DriverInfo size");

QIVMA_LAYOUT_CHECK(offsetof(TagDefinition, dataType) == QIVMA_AT(8, 12), "def dataType");
QIVMA_LAYOUT_CHECK(offsetof(TagDefinition, count) == QIVMA_AT(12, 16), "def count");
QIVMA_LAYOUT_CHECK(offsetof(TagDefinition, station) == QIVMA_AT(16, 20), "def station");
QIVMA_LAYOUT_CHECK(offsetof(TagDefinition, device) == QIVMA_AT(20, 24), "def device");
QIVMA_LAYOUT_CHECK(offsetof(TagDefinition, wordAddress) == QIVMA_AT(24, 28), "def address");
QIVMA_LAYOUT_CHECK(offsetof(TagDefinition, bitNumber) == QIVMA_AT(28, 32), "def bitNumber");
QIVMA_LAYOUT_CHECK(offsetof(TagDefinition, width) == QIVMA_AT(32, 36), "def width");
QIVMA_LAYOUT_CHECK(sizeof(TagDefinition) == QIVMA_AT(36, 40), "TagDefinition size");

QIVMA_LAYOUT_CHECK(offsetof(TagAccess, station) == 8, "access station");
QIVMA_LAYOUT_CHECK(offsetof(TagAccess, device) == 12, "access device");
QIVMA_LAYOUT_CHECK(offsetof(TagAccess, wordAddress) == 16, "access address");
QIVMA_LAYOUT_CHECK(offsetof(TagAccess, bitNumber) == 20, "access bitNumber");
QIVMA_LAYOUT_CHECK(offsetof(TagAccess, width) == 24, "access width");
QIVMA_LAYOUT_CHECK(offsetof(TagAccess, dataType) == 28, "access dataType");
QIVMA_LAYOUT_CHECK(offsetof(TagAccess, count) == 32, "access count");
QIVMA_LAYOUT_CHECK(offsetof(TagAccess, data) == 40, "access data");
QIVMA_LAYOUT_CHECK(sizeof(TagAccess) == QIVMA_AT(44, 48), "TagAccess size");

#undef QIVMA_AT
#endif /* QIVMA_LAYOUT_CHECK */

#ifdef __cplusplus
}
#endif

#endif /* QIVMA_H */
