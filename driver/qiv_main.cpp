// The export and its operation table: the one place where command codes meet
// operations. Entry k serves code k + 1.
#include "driver/operations.h"

namespace {

constexpr Operation kOperationTable[QIV_CMD_COUNT] = {
    nullptr,        // 1  ColdStart
    nullptr,        // 2  PurgeInput
    ParseTag,       // 3
    ReparseTag,     // 4
    nullptr,        // 5  ReadValue
    nullptr,        // 6  ReadBlock
    nullptr,        // 7  WriteValue
    nullptr,        // 8  no operation
    nullptr,        // 9  no operation
    nullptr,        // 10 WriteBlock
    nullptr,        // 11 EndQiv
    nullptr,        // 12 ClosePort
    nullptr,        // 13 OpenPort
    GetDriverInfo,  // 14
    nullptr,        // 15 ReconfigurePort
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
