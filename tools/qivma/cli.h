// The command line: CLI11 reads it, and every value is checked here before
// any command runs, with messages that name the option and what it takes.
#pragma once

#include "tools/qivma/commands.h"

// Reads argv into `line`. Returns -1 to go on with line.command, or the exit
// status when there is nothing more to do (help, version, or a command line
// that cannot be followed, already said on stderr).
int ParseCommandLine(int argc, char **argv, CommandLine &line);

// The output that argv asks for, read before CLI11 has judged it, so that
// even a refused command line can be answered as JSON.
OutputMode OutputModeOf(int argc, char **argv);
