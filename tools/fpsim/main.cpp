// fpsim: MEWTOCOL-COM controllers on a pseudo-terminal (or a serial device,
// or on Windows a COM port), for the driver's tests and for people without a
// controller at hand.
#include <stdio.h>

#include <string>
#include <vector>

#include "qivma_version.h"
#include "tools/fpsim/command_line.h"
#include "tools/fpsim/serial_line.h"
#include "tools/fpsim/simulator.h"
#include "tools/fpsim/stop_request.h"

namespace {

// The help's opening and its line options differ where fpsim creates
// pseudo-terminals (POSIX) and where it serves COM ports only (Windows).
const char kPosixHelpStart[] =
    "usage: fpsim [OPTIONS]\n"
    "\n"
    "Simulates FP3/FP5/FP10-class controllers answering MEWTOCOL-COM on a serial\n"
    "line. By default it creates a pseudo-terminal and prints the path that the\n"
    "driver opens; it runs until stopped (Ctrl-C, SIGTERM, SIGHUP), then withdraws\n"
    "its link and closes the line. Options take their value as the next argument\n"
    "or after '=' (--baud=9600). Exit status: 0 stopped, 1 the line could not be\n"
    "opened (or its link is served by another fpsim), 2 the command line cannot be\n"
    "followed.\n"
    "\n"
    "On a pseudo-terminal the controllers hear a master only at their own line\n"
    "settings, as far as the master's end shows them: a master at another rate\n"
    "(with --baud) or parity is heard as garbage and answered nothing. Even parity\n"
    "and none look alike there, and the character size does not show; on a device\n"
    "nothing shows and every master is heard (see --no-line-check).\n"
    "\n"
    "line:\n"
    "  --link PATH            publish the pseudo-terminal as a symbolic link PATH;\n"
    "                         refused while another fpsim serves PATH\n"
    "  --device PATH          serve an existing serial device instead (no --link)\n"
    "  --baud N               pace every character at N bit/s, 50 to 921600, and\n"
    "                         hear a master at that rate only; with --device also\n"
    "                         the device's rate: 1200, 2400, 4800, 9600, 19200,\n"
    "                         38400, 57600, 115200 (default 0: no pacing, any rate)\n";

const char kWindowsHelpStart[] =
    "usage: fpsim --device COMn [OPTIONS]\n"
    "\n"
    "Simulates FP3/FP5/FP10-class controllers answering MEWTOCOL-COM on a serial\n"
    "line. On Windows it serves the COM port given with --device: one of a pair of\n"
    "virtual COM ports joined like a null-modem cable, whose other port the host\n"
    "opens, or a real port cabled to the host. It runs until stopped (Ctrl-C,\n"
    "Ctrl-Break, its console closed), then closes the port. Options take their\n"
    "value as the next argument or after '=' (--baud=9600). Exit status: 0\n"
    "stopped, 1 the port could not be opened, 2 the command line cannot be\n"
    "followed.\n"
    "\n"
    "A COM port shows nothing of the settings of the host's end: every master is\n"
    "heard, whatever its rate and parity (only fpsim on Linux, on a pseudo-\n"
    "terminal, hears a master at other settings as garbage).\n"
    "\n"
    "line:\n"
    "  --device COMn          the COM port to serve (required)\n"
    "  --link PATH            not on Windows: fpsim creates no pseudo-terminal here,\n"
    "                         so there is none to publish (Linux only)\n"
    "  --baud N               pace every character at N bit/s, 50 to 921600, and set\n"
    "                         the port to that rate (default 0: no pacing, the\n"
    "                         port's own rate)\n";

const char kHelpRest[] =
    "  --data-bits N          data bits per character, 5 to 8 (default 8)\n"
    "  --parity P             none|odd|even|mark|space (default odd)\n"
    "  --stop-bits S          1|1.5|2 (default 1)\n"
    "  --no-line-check        hear a master whatever its rate and parity\n"
    "  --delay MS             scan time before each answer, 0 to 60000 (default 2)\n"
    "  --answer-delay MS      delay every answer by MS more, 0 to 60000 (default 0);\n"
    "                         requests that come meanwhile are executed on arrival\n"
    "                         and answered in turn\n"
    "  --chatter GAP[:silent] a noise byte '~' every GAP ms (1 to 60000) between\n"
    "                         answers; with :silent no station answers at all\n"
    "\n"
    "controllers:\n"
    "  --station NN           a station on the line: two hexadecimal digits, 01 to FE\n"
    "                         but not EE (controllers are numbered 01 to 32); repeat\n"
    "                         for several (default 01)\n"
    "  --profile large|small  FP10-class (default) or FP3-class memory bounds\n"
    "  --no-ee                the first station does not answer station EE\n"
    "  --x-write-error 60|61  the error a write to the inputs X gets (default 61)\n"
    "  --zero                 start with zeroed memory instead of the pattern\n"
    "                         (DT n = n, FL n = n+0x4000, LD n = n+0x6000,\n"
    "                         SR n = n+0x7000, SV n = 100+n, EV n = n, contact\n"
    "                         words X/Y/R/L/T n = 0x1000/2000/3000/4000/5000+n)\n"
    "  --set [NN:]AREA N=V    set a word at start: DT100=1234, FL7=0x10, LD3=5,\n"
    "                         SV5=-1, SR4=2, R3=0xFFFF (areas DT D FL F LD SR SV\n"
    "                         EV X Y R L T C); NN: one station only\n"
    "  --init FILE            a file of such assignments, one per line, blanks\n"
    "                         around '=' allowed (# comments); every bad line is\n"
    "                         reported as FILE:LINE\n"
    "\n"
    "faults (KIND: no-answer, late[:MS], truncated[:N], corrupt, bad-bcc,\n"
    "        wrong-station, error[:CODE], stray[:TEXT], double[:GAP], echo,\n"
    "        noise[:MS], foreign[:MS]; MS and GAP 0 to 60000, N 0 to 1000, CODE\n"
    "        0 to 99; double sends the answer twice, GAP ms (default 0) apart;\n"
    "        echo, noise and foreign put the request's echo, noise or another\n"
    "        station's answer ahead of the answer):\n"
    "  --fault KIND           fault the next answer (repeat to queue more)\n"
    "  --fault-every N:KIND   fault every Nth answer, N 1 to 1000000\n"
    "  --fault-random P[:SEED]\n"
    "                         fault answers with probability P (0 < P <= 1), of a\n"
    "                         kind drawn at random; SEED 0 to 4294967295 (default 1)\n"
    "\n"
    "  --verbose              print every frame received and sent\n"
    "  --help                 this text\n"
    "  --version              fpsim's version\n";

// "on /tmp/plc0 (a link to /dev/pts/3)": the path that the driver opens and,
// for a link, what it leads to.
std::string ServedPath(const fpsim::Simulator &simulator) {
    if (simulator.DevicePath().empty())
        return simulator.PortPath() + " (a serial device)";
    if (simulator.PortPath() != simulator.DevicePath())
        return simulator.PortPath() + " (a link to " + simulator.DevicePath() + ")";
    return simulator.PortPath();
}

void PrintStartUp(const fpsim::Simulator &simulator, const fpsim::Options &options) {
    std::string stations;
    for (const std::string &station : options.stations)
        stations += " " + station;
    printf("fpsim: station%s on %s, %s, %s profile", stations.c_str(),
           ServedPath(simulator).c_str(), options.line.Describe().c_str(),
           options.bus.profile == fpsim::Profile::kLarge ? "large" : "small");
    if (options.answerDelayMs > 0)
        printf(", answers %d ms late", options.answerDelayMs);
    if (options.chatterGapMs > 0)
        printf(", noise every %d ms%s", options.chatterGapMs,
               options.chatterAnswers ? "" : ", no answers");
    printf("\n");
    fflush(stdout);
}

void Schedule(fpsim::Simulator &simulator, const fpsim::CommandLine &line) {
    for (const fpsim::Fault &fault : line.onceFaults)
        simulator.FaultOnce(fault);
    if (line.everyN > 0)
        simulator.FaultEvery(line.everyN, line.everyFault);
    if (line.probability > 0) {
        std::vector<fpsim::Fault> choices;
        for (const fpsim::FaultKind kind : fpsim::AllFaultKinds()) {
            fpsim::Fault fault;
            fault.kind = kind;
            choices.push_back(fault);
        }
        simulator.FaultRandomly(line.probability, line.seed, choices);
    }
}

}  // namespace

int main(int argc, char **argv) {
    fpsim::CommandLine line;
    fpsim::CommandLineError refusal;
    if (!fpsim::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), line, refusal)) {
        // "FILE:LINE: what" for a line of an --init file, as compilers report
        // theirs, so that an editor can go to each.
        const auto report = [](const std::string &where, const std::string &what) {
            fprintf(stderr, "%s: %s\n", where.empty() ? "fpsim" : where.c_str(), what.c_str());
        };
        report(refusal.where, refusal.what);
        for (const fpsim::CommandLineError::Later &later : refusal.later)
            report(later.where, later.what);
        if (refusal.where.empty() && refusal.later.empty())
            fprintf(stderr, "(fpsim --help lists the options)\n");
        return 2;
    }
    if (line.help) {
        printf("%s%s", fpsim::PseudoTerminalsOffered() ? kPosixHelpStart : kWindowsHelpStart,
               kHelpRest);
        return 0;
    }
    if (line.version) {
        printf("fpsim %s\n", QIVMA_VERSION_STRING);
        return 0;
    }
    // A person at the console hears why a master is not answered.
    line.options.reportLine = true;

    std::string error;
    if (!fpsim::PrepareForStopRequests(&error)) {
        fprintf(stderr, "fpsim: %s\n", error.c_str());
        return 1;
    }
    fpsim::Simulator simulator(line.options);
    Schedule(simulator, line);
    if (!simulator.Start(&error)) {
        fprintf(stderr, "fpsim: %s\n", error.c_str());
        return 1;
    }
    PrintStartUp(simulator, line.options);

    const std::string request = fpsim::AwaitStopRequest();
    simulator.Stop();
    printf("fpsim: stopped (%s)\n", request.c_str());
    fflush(stdout);
    fpsim::ConfirmStopped();
    return 0;
}
