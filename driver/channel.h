// A channel's life: started, its port opened, closed, reopened and
// reconfigured, its input purged, and ended.
#pragma once

#include <atomic>

#include "qivma.h"

// ColdStart calls minus EndQiv calls in this process: the number that the
// next channel's log messages carry.
extern std::atomic<int32_t> instanceCount;

// The port for `params`: a handle, QIV_INVALID_PORT_HANDLE for "NULLDEV" (any
// case), or 0 when it did not open.
QivPortHandle OpenChannelPort(const PortOpenParams &params);

int32_t ColdStart(DriverRequest *request);
int32_t PurgeInput(DriverRequest *request);
int32_t EndQiv(DriverRequest *request);
int32_t ClosePort(DriverRequest *request);
int32_t OpenPort(DriverRequest *request);
int32_t ReconfigurePort(DriverRequest *request);
