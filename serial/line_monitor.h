// Reports every byte that passes the port to the host's line monitor, if it
// has set one: what the driver writes, reads, and reads only to throw away.
#pragma once

#include <stdint.h>

#include "qivma.h"

void SetLineMonitor(QivLineMonitor monitor, void *context);
void ReportLine(QivPortHandle port, int32_t kind, const void *bytes, uint32_t count);
// Reports a read or write that the port refused, with the platform's error
// code of that refusal.
void ReportLineFailure(QivPortHandle port);
