// The logging call lives in log/host_log.h; this name stays until the last
// file that includes it here has moved.
#pragma once

#include "log/host_log.h"
