// The operations that QivMain's table dispatches to. Each reads its own
// blocks from the request and returns the status that goes back to the host.
#pragma once

#include "qivma.h"

using Operation = int32_t (*)(DriverRequest *request);

int32_t ParseTag(DriverRequest *request);
int32_t ReparseTag(DriverRequest *request);
int32_t GetDriverInfo(DriverRequest *request);
