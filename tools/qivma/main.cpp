// qivma: a host for people. It loads the driver, builds the blocks, calls
// QivMain as a supervisory host does, and prints what came back.
#include <stdio.h>

#include <exception>

#include "host/kelpra.h"
#include "tools/qivma/cli.h"
#include "tools/qivma/report.h"
#include "tools/qivma/tool_platform.h"

int main(int argc, char **argv) {
    kelpra_set_echo(0);
    CommandLine line;
    try {
        const int status = ParseCommandLine(argc, argv, line);
        if (status >= 0)
            return status;
        kelpra_set_echo(line.global.verbose ? 1 : 0);
        return line.run(line);
    } catch (const UsageError &error) {
        PrintUsageError(line.global.output, line.command, error);
        return kExitUsage;
    } catch (const std::exception &error) {
        fprintf(stderr, "qivma: %s\n", error.what());
        return kExitFailed;
    }
}

void RequirePort(const CommandLine &line) {
    if (!line.global.sim.on && line.global.line.port.empty()) {
        throw UsageError(line.command + " needs a port: --port " + ExamplePort() +
                         (HasSimulator() ? ", or --sim for the built-in simulator"
                                         : ", or --sim --sim-port COMn for fpsim.exe at the far "
                                           "end of a null-modem pair"));
    }
}
