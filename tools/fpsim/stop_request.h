// How a person stops the fpsim program: signals on POSIX, the console's
// Ctrl-C, Ctrl-Break and close on Windows. The build links one implementation.
#pragma once

#include <string>

namespace fpsim {

// Readies the process for stop requests; false, with a reason, if it cannot.
// Called before any thread starts.
bool PrepareForStopRequests(std::string *error);
// Waits for a stop request and says what it was ("Interrupt", "Ctrl-C").
std::string AwaitStopRequest();
// Tells the platform that fpsim has stopped: a console that is closing waits
// for this before it ends the process.
void ConfirmStopped();

}  // namespace fpsim
