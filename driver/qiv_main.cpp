// The export and its operation table: the one place where command codes meet
// operations. Entry k serves code k + 1.
#include "driver/channel.h"
#include "driver/operations.h"
#include "protocol/transactions.h"
#include "serial/line_monitor.h"

namespace {

constexpr Operation kOperationTable[QIV_CMD_COUNT] = {
    ColdStart,        // 1
    PurgeInput,       // 2
    ParseTag,         // 3
    ReparseTag,       // 4
    ReadValue,        // 5
    ReadBlock,        // 6
    WriteValue,       // 7
    nullptr,          // 8  no operation
    nullptr,          // 9  no operation
    WriteBlock,       // 10
    EndQiv,           // 11
    ClosePort,        // 12
    OpenPort,         // 13
    GetDriverInfo,    // 14
    ReconfigurePort,  // 15
};
}  // namespace

extern "C" QIVMA_API int32_t QIVMA_CALL QivMain(DriverRequest *request) {
    // A code without an operation is refused before anything is touched.
    if (request == nullptr || request->command < 1 || request->command > QIV_CMD_COUNT) {
        return QIV_STATUS_REFUSED;
    }
    const Operation operation = kOperationTable[request->command - 1];
    if (operation == nullptr) {
        return QIV_STATUS_REFUSED;
    }
    return operation(request);
}

extern "C" QIVMA_API int32_t QIVMA_CALL QivSetLineMonitor(QivLineMonitor monitor, void *context) {
    SetLineMonitor(monitor, context);
    return QIV_STATUS_OK;
}
