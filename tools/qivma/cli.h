// The command line: CLI11 reads it, converts and checks every value and keeps
// apart the options that exclude each other, before any command runs; the
// messages name the option and what it takes.
#pragma once

#include "tools/qivma/commands.h"

// Reads argv into `line`. Returns -1 to go on with line.run, or the exit
// status when there is nothing more to do (help, version, or a command line
// that cannot be followed, already said on stderr).
int ParseCommandLine(int argc, char **argv, CommandLine &line);
