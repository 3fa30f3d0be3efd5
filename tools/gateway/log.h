// The gateway's log: one line on stderr per event that a person must know
// of (a port that failed or came back, a station taken off scan or back),
// never one per read.
#pragma once

#include <string>

namespace gateway {

void Log(const std::string &line);
// The driver's own messages too (--verbose).
void SetVerbose(bool verbose);
bool Verbose();

}  // namespace gateway
