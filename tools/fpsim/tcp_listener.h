// The simulator as a controller's Ethernet unit (POSIX only): the frames of
// the serial line on a TCP connection from one master at a time.
#pragma once

#include <string>

namespace fpsim {

// Listens on 127.0.0.1:`port` (0: a free port, put in *bound); the listening
// socket, or -1 with why.
int ListenOnLoopback(int port, int *bound, std::string *error);

// Takes the connection waiting on `listener` as the master's line when
// *master is -1. While a master is connected another is accepted and closed
// at once, with a line on stderr, as a unit that serves one master does: a
// client that waited in a queue would time out unseen. A master whose
// connection has ended makes room, though fpsim has not read that end yet.
void TakeConnection(int listener, int *master);

}  // namespace fpsim
