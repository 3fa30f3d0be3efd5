// ParseTag and ReparseTag: two commands, one parse. Neither needs a started
// channel nor touches the instance.
#include "address/tag_address.h"
#include "driver/operations.h"

int32_t ParseTag(DriverRequest *request) {
    return ParseTagAddress(request);
}

int32_t ReparseTag(DriverRequest *request) {
    return ParseTagAddress(request);
}
