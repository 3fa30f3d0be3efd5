// Ctrl-C (and SIGTERM) as a request to stop between two frames: what was
// read or written by then is reported, not lost.
#pragma once

// From now on an interrupt sets the flag instead of ending the process.
void CatchInterrupts();
bool Interrupted();
