// uart_lane: boots the guest (build_guest.sh) in an emulated PC whose only
// UART in use is the driver's port, serves the controller simulator on the
// UART's far end, answers the guest program over the control line, and keeps
// what the UART's register trace, the guest and the simulator recorded.
//
// usage: uart_lane --qemu PROGRAM --guest DIR --out DIR [--limit SECONDS]
//
// Exit status: 0 when the guest's suite passed; 1 when it failed or the run
// broke; 77 when the lane cannot run on this machine (no QEMU, no guest),
// after one line that says why. In --out: trace.log (QEMU's serial trace),
// console.log (the guest's console), marks.txt, driver-log.txt,
// controller-frames.txt, and "skipped" when the lane did not run.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "tools/fpsim/simulator.h"
#include "uart/lane_service.h"
#include "uart/uart_trace.h"

namespace {

constexpr int kSkipped = 77;
const std::vector<std::string> kStations = {"01", "05", "1F"};

using Clock = std::chrono::steady_clock;

struct Settings {
    std::string qemu;
    std::string guest;
    std::string out;
    int limitSeconds = 150;
};

bool Exists(const std::string &path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Marks the lane as not run, with its reason, for the checks that follow.
int Skip(const Settings &settings, const std::string &reason) {
    printf("uart lane skipped: %s\n", reason.c_str());
    std::ofstream(settings.out + "/skipped") << reason << "\n";
    return kSkipped;
}

int MillisecondsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// QEMU's option syntax takes a comma in a value as two.
std::string OptionValue(const std::string &text) {
    std::string escaped;
    for (const char c : text) {
        escaped += c;
        if (c == ',')
            escaped += ',';
    }
    return escaped;
}

// A listening socket in a directory of its own, which QEMU's control
// chardev connects to as it starts.
class ControlSocket {
  public:
    ~ControlSocket() {
        for (const int fd : {connection_, listener_}) {
            if (fd >= 0)
                close(fd);
        }
        if (!path_.empty())
            unlink(path_.c_str());
        if (!directory_.empty())
            rmdir(directory_.c_str());
    }
    bool Listen(std::string *error) {
        const char *tmp = getenv("TMPDIR");
        std::string pattern =
            std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/qivma-uart-XXXXXX";
        if (mkdtemp(&pattern[0]) == nullptr) {
            *error = std::string("mkdtemp: ") + strerror(errno);
            return false;
        }
        directory_ = pattern;
        path_ = directory_ + "/control";
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        if (path_.size() >= sizeof address.sun_path) {
            *error = "socket path too long: " + path_;
            return false;
        }
        memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
        listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listener_ < 0 ||
            bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
            listen(listener_, 1) != 0) {
            *error = std::string("control socket: ") + strerror(errno);
            return false;
        }
        return true;
    }
    bool Accept(Clock::time_point deadline) {
        pollfd ready = {listener_, POLLIN, 0};
        if (poll(&ready, 1, MillisecondsLeft(deadline)) != 1)
            return false;
        connection_ = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        return connection_ >= 0;
    }
    const std::string &path() const { return path_; }
    int connection() const { return connection_; }

  private:
    std::string directory_;
    std::string path_;
    int listener_ = -1;
    int connection_ = -1;
};

// QEMU as a child of this process, with its stdout and stderr on a pipe.
// It dies with the lane, and the lane stops it by its process id.
class Machine {
  public:
    ~Machine() {
        Stop();
        if (output_ >= 0)
            close(output_);
    }

    bool Start(const std::vector<std::string> &arguments, std::string *error) {
        int pipeFds[2];
        if (pipe2(pipeFds, O_CLOEXEC) != 0) {
            *error = std::string("pipe: ") + strerror(errno);
            return false;
        }
        std::vector<char *> argv;
        for (const std::string &argument : arguments)
            argv.push_back(const_cast<char *>(argument.c_str()));
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ < 0) {
            *error = std::string("fork: ") + strerror(errno);
            close(pipeFds[0]);
            close(pipeFds[1]);
            return false;
        }
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            const int null = open("/dev/null", O_RDONLY);
            dup2(null, 0);
            dup2(pipeFds[1], 1);
            dup2(pipeFds[1], 2);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(pipeFds[1]);
        output_ = pipeFds[0];
        return true;
    }

    int output() const { return output_; }

    // Reads what QEMU printed; false once it has closed its output (exited).
    bool ReadOutput() {
        char buffer[4096];
        const ssize_t n = read(output_, buffer, sizeof buffer);
        if (n > 0) {
            printed_.append(buffer, static_cast<size_t>(n));
            return true;
        }
        return n < 0 && errno == EINTR;
    }
    const std::string &printed() const { return printed_; }

    // Waits for the exit that closed the output; the exit status.
    int Reap() {
        int status = 0;
        while (pid_ > 0 && waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        return status;
    }

    // Asks QEMU to end, then ends it, by its process id.
    void Stop() {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGTERM);
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        pollfd ready = {output_, POLLIN, 0};
        while (poll(&ready, 1, MillisecondsLeft(deadline)) > 0 && ReadOutput()) {
        }
        kill(pid_, SIGKILL);
        Reap();
    }

  private:
    pid_t pid_ = -1;
    int output_ = -1;
    std::string printed_;
};

std::vector<std::string> QemuArguments(const Settings &settings, const std::string &control) {
    const std::string &out = settings.out;
    // Options and their values; an empty value: an option that takes none.
    const std::vector<std::pair<std::string, std::string>> options = {
        {"-accel", "tcg"},
        {"-machine", "pc"},
        {"-m", "256"},
        {"-nodefaults", ""},
        {"-no-user-config", ""},
        {"-display", "none"},
        {"-no-reboot", ""},
        {"-kernel", settings.guest + "/kernel/vmlinuz"},
        {"-initrd", settings.guest + "/initramfs.cpio"},
        // The HPET runs on QEMU's own clock, the host's: a millisecond of the
        // guest is then one of the trace's time stamps.
        {"-append", "console=hvc0 panic=-1 quiet clocksource=hpet"},
        // The driver's port: the PC's second UART (ttyS1 at 0x2F8), the only one there.
        {"-chardev", "pty,id=line"},
        {"-device", "isa-serial,chardev=line,index=1"},
        // The console and the control line are virtio ports, not UARTs.
        {"-device", "virtio-serial-pci"},
        {"-chardev", "file,id=console,path=" + OptionValue(out + "/console.log")},
        {"-device", "virtconsole,chardev=console"},
        {"-chardev", "socket,id=control,path=" + OptionValue(control)},
        {"-device", "virtserialport,chardev=control,name=qivma.control"},
        {"-msg", "timestamp=on"},
        {"-trace", "enable=serial_*,file=" + OptionValue(out + "/trace.log")},
    };
    std::vector<std::string> arguments = {settings.qemu};
    for (const auto &option : options) {
        arguments.push_back(option.first);
        if (!option.second.empty())
            arguments.push_back(option.second);
    }
    return arguments;
}

// The pseudo-terminal that QEMU made for the UART's far end, once it has said so.
bool FindLinePty(Machine &machine, Clock::time_point deadline, std::string *pty) {
    static const std::regex announcement("char device redirected to (\\S+) \\(label line\\)");
    for (;;) {
        std::smatch match;
        if (std::regex_search(machine.printed(), match, announcement)) {
            *pty = match[1];
            return true;
        }
        pollfd ready = {machine.output(), POLLIN, 0};
        if (poll(&ready, 1, MillisecondsLeft(deadline)) != 1 || !machine.ReadOutput())
            return false;
    }
}

// Serves the control line until QEMU exits or the deadline passes; false
// on the deadline.
bool Serve(Machine &machine, int control, uart_lane::LaneService &service,
           Clock::time_point deadline) {
    std::string pending;
    bool controlOpen = true;
    for (;;) {
        pollfd ready[2] = {{machine.output(), POLLIN, 0}, {controlOpen ? control : -1, POLLIN, 0}};
        const int n = poll(ready, 2, MillisecondsLeft(deadline));
        if (n == 0)
            return false;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (ready[0].revents != 0 && !machine.ReadOutput())
            return true;
        if (ready[1].revents == 0)
            continue;
        char buffer[4096];
        const ssize_t got = read(control, buffer, sizeof buffer);
        if (got <= 0) {
            controlOpen = got < 0 && errno == EINTR;
            continue;
        }
        pending.append(buffer, static_cast<size_t>(got));
        size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            const std::string answer =
                service.Handle(pending.substr(0, end), uart_lane::WallMicros()) + "\n";
            pending.erase(0, end + 1);
            if (write(control, answer.data(), answer.size()) != static_cast<ssize_t>(answer.size()))
                controlOpen = false;
        }
    }
}

void Record(const Settings &settings, const uart_lane::LaneService &service,
            const fpsim::Simulator &simulator) {
    std::ofstream marks(settings.out + "/marks.txt");
    for (const uart_lane::Mark &mark : service.marks())
        marks << mark.micros << " " << mark.expectation << "\n";
    std::ofstream log(settings.out + "/driver-log.txt");
    for (const std::string &message : service.driverLog())
        log << message << "\n";
    std::ofstream frames(settings.out + "/controller-frames.txt");
    for (const fpsim::FrameRecord &frame : simulator.Frames()) {
        if (frame.direction == fpsim::Direction::kReceived)
            frames << uart_trace::Visible(frame.bytes) << "\n";
    }
}

bool ParseArguments(int argc, char **argv, Settings *settings) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const std::string value = argv[i + 1];
        if (option == "--qemu") {
            settings->qemu = value;
        } else if (option == "--guest") {
            settings->guest = value;
        } else if (option == "--out") {
            settings->out = value;
        } else if (option == "--limit") {
            settings->limitSeconds = atoi(value.c_str());
        } else {
            return false;
        }
    }
    return argc % 2 == 1 && !settings->guest.empty() && !settings->out.empty() &&
           settings->limitSeconds > 0;
}

int Run(const Settings &settings) {
    mkdir(settings.out.c_str(), 0755);
    for (const char *name : {"skipped", "trace.log", "console.log", "marks.txt", "driver-log.txt",
                             "controller-frames.txt"}) {
        unlink((settings.out + "/" + name).c_str());
    }
    if (Exists(settings.guest + "/unavailable")) {
        std::string reason = ReadFile(settings.guest + "/unavailable").substr(0, 200);
        reason.erase(reason.find_last_not_of(" \n") + 1);
        return Skip(settings, reason);
    }
    if (settings.qemu.empty() || access(settings.qemu.c_str(), X_OK) != 0)
        return Skip(settings, "no qemu-system-x86_64 (bash scripts/setup.sh installs it)");
    if (!Exists(settings.guest + "/kernel/vmlinuz") || !Exists(settings.guest + "/initramfs.cpio"))
        return Skip(settings, "no guest in " + settings.guest + " (the uart.guest test builds it)");

    const auto started = Clock::now();
    const auto deadline = started + std::chrono::seconds(settings.limitSeconds);
    std::string error;
    ControlSocket control;
    if (!control.Listen(&error)) {
        fprintf(stderr, "uart lane: %s\n", error.c_str());
        return 1;
    }
    Machine machine;
    if (!machine.Start(QemuArguments(settings, control.path()), &error)) {
        fprintf(stderr, "uart lane: %s\n", error.c_str());
        return 1;
    }
    std::string pty;
    if (!FindLinePty(machine, started + std::chrono::seconds(30), &pty)) {
        fprintf(stderr, "uart lane: QEMU made no pseudo-terminal for the UART:\n%s\n",
                machine.printed().c_str());
        return 1;
    }
    fpsim::Options options;
    options.stations = kStations;
    options.zeroMemory = true;
    options.devicePath = pty;
    fpsim::Simulator simulator(options);
    if (!simulator.Start(&error)) {
        fprintf(stderr, "uart lane: the simulator cannot serve %s: %s\n", pty.c_str(),
                error.c_str());
        return 1;
    }
    if (!control.Accept(started + std::chrono::seconds(30))) {
        fprintf(stderr, "uart lane: QEMU did not connect the control line\n");
        return 1;
    }
    uart_lane::LaneService service(simulator, kStations, options.bus.profile);
    const bool ended = Serve(machine, control.connection(), service, deadline);
    if (!ended) {
        fprintf(stderr, "uart lane: the guest did not finish within %d s; stopping QEMU\n",
                settings.limitSeconds);
        machine.Stop();
    } else {
        const int status = machine.Reap();
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            fprintf(stderr, "uart lane: QEMU ended with wait status %d\n", status);
    }
    simulator.Stop();
    Record(settings, service, simulator);

    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    printf("%s", ReadFile(settings.out + "/console.log").c_str());
    if (!machine.printed().empty())
        printf("QEMU said:\n%s", machine.printed().c_str());
    if (!service.done()) {
        printf("uart lane: the guest's suite did not finish (%.1f s)\n", seconds);
        return 1;
    }
    printf("uart lane: the guest's suite ended with status %d; QEMU ran %.1f s; UART on %s\n",
           service.guestStatus(), seconds, pty.c_str());
    return ended && service.guestStatus() == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    Settings settings;
    if (!ParseArguments(argc, argv, &settings)) {
        fprintf(stderr,
                "usage: uart_lane --qemu PROGRAM --guest DIR --out DIR [--limit SECONDS]\n");
        return 2;
    }
    return Run(settings);
}
