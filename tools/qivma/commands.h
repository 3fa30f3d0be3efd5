// The commands; each lives in a file of its own (cmd_NAME.cpp). Each returns
// the exit status, and throws UsageError for a command line it cannot follow
// before it has touched a port.
#pragma once

#include <string>

#include "tools/qivma/options.h"

struct CommandLine {
    std::string command;
    int (*run)(const CommandLine &line) = nullptr;
    GlobalOptions global;
    TagOptions tag;
    PollOptions poll;
    ScanOptions scan;
};

int RunInfo(const CommandLine &line);
int RunCheck(const CommandLine &line);
int RunRead(const CommandLine &line);
int RunWrite(const CommandLine &line);
int RunPoll(const CommandLine &line);
int RunScan(const CommandLine &line);
int RunDemo(const CommandLine &line);

// Checks that the line names a port (or the simulator): a command that
// talks to a controller cannot go on without one.
void RequirePort(const CommandLine &line);
