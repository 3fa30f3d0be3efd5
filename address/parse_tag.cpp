// The parse as the host sees it: accepted or rejected, and one message when
// a character is wrong. The rules themselves are in tag_address.cpp.
#include "address/tag_address.h"
#include "log/host_log.h"

int32_t ParseTagAddress(DriverRequest *request) {
    const uint32_t faults = TagAddressFaults(static_cast<TagDefinition *>(request->params));
    if ((faults & kFaultCharacters) != 0) {
        LogToHost("MA: invalid chars in address\n");
    }
    return faults != 0 ? 1 : 0;
}
