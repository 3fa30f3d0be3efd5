// Windows: `err` is imported by name from the host's KELPRA.dll.
#include "log/host_log.h"

QivHostLogFunction HostLogTarget() {
    return err;
}
