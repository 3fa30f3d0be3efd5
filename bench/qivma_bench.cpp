// Speed of the driver against the controller simulator on a pseudo-terminal,
// next to the physical limit of the line, and what it costs the host: CPU
// time, system calls and wake-ups per operation.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "host/kelpra.h"
#include "qivma.h"
#include "tools/fpsim/simulator.h"
#include "tools/hostkit/simulator_line.h"
#include "wire/wire_rules.h"

extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);

namespace {

using wire::AnswerHorizonMs;
using wire::kAttempts;
using wire::kHorizonMarginMs;
using wire::kRtsLeadMs;

const char kUsage[] =
    "usage: qivma_bench [--quick] [--before LIB]\n"
    "       qivma_bench --floor N [--before LIB]\n"
    "       qivma_bench --unpaced N\n"
    "       qivma_bench --device NAME --reads N [--words W] [--baud B] [--driver LIB]\n"
    "\n"
    "Runs the driver against the controller simulator on a pseudo-terminal and\n"
    "prints its speed next to the line's, with the host thread's CPU time, system\n"
    "calls and wake-ups per operation, and its one-word reads beside those of a\n"
    "minimal master of the benchmark's own.\n"
    "\n"
    "  --quick          fewer operations of each kind\n"
    "  --before LIB     the paced figures of the driver in LIB too (libqivma.so of\n"
    "                   an earlier build), measured in turn with this one's\n"
    "  --floor N        only N one-word reads at 19200 bit/s of the driver and of\n"
    "                   the minimal master, in turns\n"
    "  --unpaced N      only N one-word reads without pacing, printing nothing\n"
    "                   (for bench/callgrind.sh)\n"
    "  --device NAME    only N reads of W words (default 1) at B bit/s (default\n"
    "                   19200) on a port that a simulator serves in another\n"
    "                   process (NAME as a host gives it, at most 11 characters,\n"
    "                   such as pts/3), so that `strace -c -f` counts the\n"
    "                   driver's system calls alone; --driver LIB runs the\n"
    "                   driver in LIB instead of this build's\n"
    "  --help           this text\n";

// Heap allocations made while the driver runs on this thread.
thread_local bool t_inDriver = false;
long g_driverAllocations = 0;
// The system calls that the driver (or the minimal master) makes on this
// thread while `t_counting`: its calls of the C library's wrappers below,
// each one system call (clock reads are none: the clock is read without
// entering the kernel).
thread_local bool t_counting = false;
thread_local long t_calls = 0;

void CountCall() {
    if (t_counting)
        ++t_calls;
}

// The C library's own function `name`.
template <typename Function>
Function Next(const char *name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

// The system-call wrappers that a serial driver uses, counted on their way to
// the C library: the program's own definitions, exported, come first for
// every library it loads, this build's driver and one loaded with --before
// alike.
#define QIVMA_BENCH_EXPORT __attribute__((visibility("default")))
extern "C" {
QIVMA_BENCH_EXPORT ssize_t read(int fd, void *buffer, size_t count) {
    static const auto next = Next<ssize_t (*)(int, void *, size_t)>("read");
    CountCall();
    return next(fd, buffer, count);
}
QIVMA_BENCH_EXPORT ssize_t write(int fd, const void *bytes, size_t count) {
    static const auto next = Next<ssize_t (*)(int, const void *, size_t)>("write");
    CountCall();
    return next(fd, bytes, count);
}
QIVMA_BENCH_EXPORT int poll(struct pollfd *fds, nfds_t count, int timeout) {
    static const auto next = Next<int (*)(struct pollfd *, nfds_t, int)>("poll");
    CountCall();
    return next(fds, count, timeout);
}
QIVMA_BENCH_EXPORT int ioctl(int fd, unsigned long request, ...) noexcept {
    static const auto next = Next<int (*)(int, unsigned long, void *)>("ioctl");
    va_list args;
    va_start(args, request);
    void *argument = va_arg(args, void *);
    va_end(args);
    CountCall();
    return next(fd, request, argument);
}
QIVMA_BENCH_EXPORT int nanosleep(const struct timespec *duration, struct timespec *left) {
    static const auto next = Next<int (*)(const struct timespec *, struct timespec *)>("nanosleep");
    CountCall();
    return next(duration, left);
}
QIVMA_BENCH_EXPORT int clock_nanosleep(clockid_t clock, int flags, const struct timespec *time,
                                       struct timespec *left) {
    static const auto next =
        Next<int (*)(clockid_t, int, const struct timespec *, struct timespec *)>(
            "clock_nanosleep");
    CountCall();
    return next(clock, flags, time, left);
}
QIVMA_BENCH_EXPORT int tcdrain(int fd) {
    static const auto next = Next<int (*)(int)>("tcdrain");
    CountCall();
    return next(fd);
}
}

extern "C" void *malloc(size_t size) {
    if (t_inDriver)
        ++g_driverAllocations;
    return __libc_malloc(size);
}
extern "C" void *calloc(size_t count, size_t size) {
    if (t_inDriver)
        ++g_driverAllocations;
    return __libc_calloc(count, size);
}
extern "C" void *realloc(void *pointer, size_t size) {
    if (t_inDriver)
        ++g_driverAllocations;
    return __libc_realloc(pointer, size);
}

namespace {

using Clock = std::chrono::steady_clock;

// The line of every measurement: 8 data bits, odd parity, one stop bit.
SerialLineSettings LineAt(uint16_t baud) {
    SerialLineSettings settings = kFactoryLineSettings;
    settings.baudRate = baud;
    return settings;
}

std::unique_ptr<fpsim::Simulator> StartSimulator(uint16_t baud) {
    fpsim::Options options;
    options.line = SimulatorLineFormat(LineAt(baud));
    options.scanDelayMs = 0;  // the controller answers at once: the line is what is measured
    auto simulator = std::make_unique<fpsim::Simulator>(options);
    std::string error;
    if (!simulator->Start(&error)) {
        fprintf(stderr, "bench: %s\n", error.c_str());
        exit(1);
    }
    return simulator;
}

using EntryPoint = int32_t(QIVMA_CALL *)(DriverRequest *);

// A build of the driver: this one's, or one loaded from another build.
struct Driver {
    const char *name;
    EntryPoint entry;
};

Driver LoadDriver(const char *path, const char *name) {
    void *library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    void *entry = library != nullptr ? dlsym(library, "QivMain") : nullptr;
    if (entry == nullptr) {
        fprintf(stderr, "bench: %s: %s\n", path, dlerror());
        exit(1);
    }
    return {name, reinterpret_cast<EntryPoint>(entry)};
}

// The name of a pseudo-terminal as a host gives it: its path without "/dev/".
std::string PortName(const std::string &device) {
    return device.rfind("/dev/", 0) == 0 ? device.substr(5) : device;
}

class Channel {
  public:
    Channel(const std::string &name, int32_t timeout, uint16_t baud = 19200,
            Driver driver = {"now", &QivMain})
        : entry_(driver.entry) {
        PortConfig config = {};
        if (name.size() >= sizeof config.portName) {
            fprintf(stderr, "bench: the port name %s is longer than a host can give\n",
                    name.c_str());
            exit(1);
        }
        memcpy(config.portName, name.c_str(), name.size() + 1);
        config.enable = 1;
        config.timeout = timeout;
        config.lineSettings = LineAt(baud);
        if (Call(QIV_CMD_COLD_START, &config) != 0) {
            fprintf(stderr, "bench: the channel did not start\n");
            exit(1);
        }
    }
    ~Channel() { Call(QIV_CMD_END, nullptr); }

    int32_t Call(int32_t command, void *params) {
        DriverRequest request = {};
        request.instance = &instance_;
        request.command = command;
        request.params = params;
        t_inDriver = t_counting = true;
        const int32_t status = entry_(&request);
        t_inDriver = t_counting = false;
        return status;
    }
    TagAccess Tag(char device, int32_t station, int32_t count) {
        TagAccess tag = {};
        tag.station = station;
        tag.device = device;
        tag.wordAddress = 100;
        tag.width = 16;
        tag.count = count;
        tag.data = data_;
        return tag;
    }

  private:
    EntryPoint entry_;
    DriverInstance instance_ = {};
    int16_t data_[64] = {};
};

struct Operation {
    const char *name;
    int32_t command;
    int32_t count;
    int requestChars, responseChars;
};

// The operations go to data registers, on lines of 8 data bits, odd parity
// and one stop bit.
constexpr const wire::DeviceCommands &kRegisters = *wire::FindDevice('D');
constexpr int kReadRequestChars = wire::BlockRequestLength(kRegisters, false, 0);
constexpr int kWriteWords = wire::WordsPerWrite(kRegisters);
constexpr uint32_t kHalfBits = wire::HalfBitsPerCharacter(
    kFactoryLineSettings.dataBits, kFactoryLineSettings.parity, kFactoryLineSettings.stopBits);

// Milliseconds that `characters` characters take on such a line.
double LineMs(int characters, uint16_t baud) {
    return ::LineMs(LineAt(baud), static_cast<size_t>(characters));
}

const Operation kOperations[] = {
    {"read 1 word", QIV_CMD_READ_VALUE, 0, kReadRequestChars, wire::AnswerLength(1)},
    {"read 27 words", QIV_CMD_READ_BLOCK, wire::kMaxWordsPerFrame, kReadRequestChars,
     wire::AnswerLength(wire::kMaxWordsPerFrame)},
    {"write 24 words", QIV_CMD_WRITE_BLOCK, kWriteWords,
     wire::BlockRequestLength(kRegisters, true, kWriteWords), wire::AnswerLength(0)},
};

double Percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const size_t index =
        std::min(values.size() - 1, static_cast<size_t>(p * (values.size() - 1) + 0.5));
    return values[index];
}

// What a run of operations cost the host's thread.
struct Costs {
    std::vector<double> ms;  // each operation's wall time
    double cpuUs = 0;        // user and system time
    long calls = 0;          // system calls made in the driver
    long wakes = 0;          // voluntary context switches: waits that ended in a wake-up
    long operations = 0;

    double Per(double total) const { return operations == 0 ? 0 : total / operations; }
};

double MicrosecondsOf(const timeval &t) {
    return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_usec);
}

// Does `once` `rounds` times and adds what it cost the thread.
template <typename Once>
void Measure(int rounds, Costs *costs, Once once) {
    rusage before, after;
    getrusage(RUSAGE_THREAD, &before);
    const long calls = t_calls;
    for (int i = 0; i < rounds; ++i) {
        const auto start = Clock::now();
        once();
        costs->ms.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    getrusage(RUSAGE_THREAD, &after);
    costs->cpuUs += MicrosecondsOf(after.ru_utime) - MicrosecondsOf(before.ru_utime) +
                    MicrosecondsOf(after.ru_stime) - MicrosecondsOf(before.ru_stime);
    costs->calls += t_calls - calls;
    costs->wakes += after.ru_nvcsw - before.ru_nvcsw;
    costs->operations += rounds;
}

// Runs the operation `rounds` times on the channel and adds what it cost.
void Run(Channel &channel, const Operation &op, int rounds, Costs *costs) {
    TagAccess tag = channel.Tag('D', 1, op.count);
    Measure(rounds, costs, [&] {
        if (channel.Call(op.command, &tag) != 0) {
            fprintf(stderr, "bench: %s failed\n", op.name);
            exit(1);
        }
    });
}

void PrintCosts(const char *rate, const char *operation, const char *build, const Costs &costs,
                double lineMs) {
    const double median = Percentile(costs.ms, 0.5);
    printf("%-6s %-15s %-7s %7.2f ms %7.2f ms %7.2f ms %6.3f %6.0f us %6.1f %6.1f\n", rate,
           operation, build, median, Percentile(costs.ms, 0.99), lineMs, median / lineMs,
           costs.Per(costs.cpuUs), costs.Per(static_cast<double>(costs.calls)),
           costs.Per(static_cast<double>(costs.wakes)));
}

// How many lines one core keeps polling back to back: each takes the CPU
// time of its reads for their wall time.
double LinesPerCore(const Costs &costs) {
    double wallMs = 0;
    for (const double ms : costs.ms)
        wallMs += ms;
    return costs.cpuUs > 0 ? wallMs * 1000.0 / costs.cpuUs : 0;
}

// The floor: a master with nothing but the read itself. It writes the
// request for D100 of station 01, waits in poll for the answer's first
// character, reads what has come, sleeps until the rest of the one-word
// answer can be there at the line's rate and reads it: two wake-ups and five
// system calls, what any master on such a line pays at least. It raises no
// RTS, keeps no time-outs, judges no early answers and retries nothing.
class MinimalMaster {
  public:
    MinimalMaster(const std::string &device, unsigned baud)
        : characterNs_(static_cast<int64_t>(wire::LineMicroseconds(1, kHalfBits, baud)) * 1000) {
        fd_ = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios line;
        if (fd_ < 0 || tcgetattr(fd_, &line) != 0) {
            fprintf(stderr, "bench: the minimal master cannot open %s\n", device.c_str());
            exit(1);
        }
        // The simulator's line: 8 data bits, odd parity, one stop bit.
        cfmakeraw(&line);
        line.c_cflag |= PARENB | PARODD | CLOCAL | CREAD;
        line.c_cc[VMIN] = 0;
        line.c_cc[VTIME] = 0;
        const speed_t speed = baud == 9600 ? B9600 : baud == 57600 ? B57600 : B19200;
        cfsetispeed(&line, speed);
        cfsetospeed(&line, speed);
        if (tcsetattr(fd_, TCSANOW, &line) != 0) {
            fprintf(stderr, "bench: the minimal master cannot set its line\n");
            exit(1);
        }
        const char request[] = "%01#RDD0010000100";
        const int32_t length = static_cast<int32_t>(sizeof request - 1);
        const uint8_t check = wire::BlockCheck(request, length);
        frame_ =
            std::string(request) + wire::HexDigit(check >> 4u) + wire::HexDigit(check & 15u) + "\r";
        if (static_cast<int>(frame_.size()) != kReadRequestChars) {
            fprintf(stderr, "bench: the minimal master's frame has the wrong length\n");
            exit(1);
        }
    }
    ~MinimalMaster() { close(fd_); }

    // One read; false when its answer did not come whole within a second.
    bool Read() {
        constexpr int kAnswer = wire::AnswerLength(1);
        if (write(fd_, frame_.data(), frame_.size()) != static_cast<ssize_t>(frame_.size()))
            return false;
        char answer[kAnswer];
        int got = 0;
        while (got < kAnswer) {
            pollfd ready = {fd_, POLLIN, 0};
            if (poll(&ready, 1, 1000) != 1)
                return false;
            const ssize_t n = read(fd_, answer + got, sizeof answer - got);
            if (n <= 0)
                return false;
            got += static_cast<int>(n);
            if (got == kAnswer)
                break;
            // The rest comes at the line's rate: sleep until it can all be
            // there (a character late is waited for in poll again).
            timespec until;
            clock_gettime(CLOCK_MONOTONIC, &until);
            const int64_t ns = until.tv_nsec + (kAnswer - got) * characterNs_;
            until.tv_sec += static_cast<time_t>(ns / 1000000000);
            until.tv_nsec = static_cast<long>(ns % 1000000000);
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
            const ssize_t rest = read(fd_, answer + got, sizeof answer - got);
            if (rest > 0)
                got += static_cast<int>(rest);
        }
        return answer[kAnswer - 1] == '\r';
    }

  private:
    int64_t characterNs_;
    int fd_ = -1;
    std::string frame_;
};

// One-word reads at 19200 bit/s by the driver (and the one given with
// --before) and by the minimal master, each on a simulator of its own, in
// turns, so that a busy moment of the machine falls on all alike.
void BesideTheFloor(int rounds, const Driver *before) {
    constexpr uint16_t kBaud = 19200;
    const Operation &read = kOperations[0];
    auto simulator = StartSimulator(kBaud);
    Channel channel(PortName(simulator->DevicePath()), 30, kBaud);
    auto floorSimulator = StartSimulator(kBaud);
    MinimalMaster master(floorSimulator->DevicePath(), kBaud);
    std::unique_ptr<fpsim::Simulator> otherSimulator;
    std::unique_ptr<Channel> other;
    if (before != nullptr) {
        otherSimulator = StartSimulator(kBaud);
        other =
            std::make_unique<Channel>(PortName(otherSimulator->DevicePath()), 30, kBaud, *before);
    }
    const auto masterReads = [&master] {
        t_counting = true;
        const bool read = master.Read();
        t_counting = false;
        if (!read) {
            fprintf(stderr, "bench: the minimal master's read failed\n");
            exit(1);
        }
    };
    Costs now, was, floor, warmUp;
    Run(channel, read, 1, &warmUp);
    Measure(1, &warmUp, masterReads);
    if (other)
        Run(*other, read, 1, &warmUp);
    const int turns = 10;
    for (int turn = 0; turn < turns; ++turn) {
        const int share = rounds / turns + (turn < rounds % turns ? 1 : 0);
        Run(channel, read, share, &now);
        Measure(share, &floor, masterReads);
        if (other)
            Run(*other, read, share, &was);
    }
    printf(
        "\nOne-word reads at %u bit/s beside a minimal master (write, poll, read, sleep,\n"
        "read), %d each, in turns:\n",
        kBaud, rounds);
    printf("  %-16s %10s %9s %6s %6s %14s\n", "", "median", "CPU", "calls", "wakes",
           "CPU / floor's");
    const auto row = [&floor](const char *who, const Costs &costs) {
        printf(
            "  %-16s %7.2f ms %6.0f us %6.1f %6.1f %13.2fx\n", who, Percentile(costs.ms, 0.5),
            costs.Per(costs.cpuUs), costs.Per(static_cast<double>(costs.calls)),
            costs.Per(static_cast<double>(costs.wakes)),
            floor.cpuUs > 0 ? costs.cpuUs / floor.cpuUs * floor.operations / costs.operations : 0);
    };
    row("minimal master", floor);
    row("driver", now);
    if (other)
        row("driver before", was);
}

void Paced(int rounds, const Driver *before) {
    printf("Paced line, 8 data bits, odd parity, 1 stop bit (%g bits a character); %d of each\n",
           kHalfBits / 2.0, rounds);
    printf(
        "per operation, of the host's thread: its CPU time (user and system), the system\n"
        "calls made in the driver, the waits that ended in a wake-up%s\n",
        before != nullptr ? "; \"before\": the driver\nof the build given with --before, "
                            "run in turns with this one"
                          : "");
    printf("%-6s %-15s %-7s %10s %10s %10s %6s %9s %6s %6s\n", "bit/s", "operation", "build",
           "median", "99th", "line+RTS", "ratio", "CPU", "calls", "wakes");
    // Runs of each build in turn, so that a busy moment of the machine falls
    // on both alike.
    const int turns = before != nullptr ? 5 : 1;
    Costs readsAt19200[2][2];  // [build][one word, 27 words]
    // The host's rate field has 16 bits: 57600 is the fastest standard rate it names.
    for (const uint16_t baud : {9600, 19200, 57600}) {
        auto simulator = StartSimulator(baud);
        Channel channel(PortName(simulator->DevicePath()), 30, baud);
        std::unique_ptr<fpsim::Simulator> otherSimulator;
        std::unique_ptr<Channel> other;
        if (before != nullptr) {
            otherSimulator = StartSimulator(baud);
            other = std::make_unique<Channel>(PortName(otherSimulator->DevicePath()), 30, baud,
                                              *before);
        }
        for (const Operation &op : kOperations) {
            Costs now, was, warmUp;
            Run(channel, op, 1, &warmUp);
            if (other)
                Run(*other, op, 1, &warmUp);
            for (int turn = 0; turn < turns; ++turn) {
                const int share = rounds / turns + (turn < rounds % turns ? 1 : 0);
                Run(channel, op, share, &now);
                if (other)
                    Run(*other, op, share, &was);
            }
            const double lineMs = LineMs(op.requestChars + op.responseChars, baud) + kRtsLeadMs;
            const std::string rate = std::to_string(baud);
            PrintCosts(rate.c_str(), op.name, "now", now, lineMs);
            if (other)
                PrintCosts("", "", "before", was, lineMs);
            if (baud == 19200 && op.command != QIV_CMD_WRITE_BLOCK) {
                const int kind = op.command == QIV_CMD_READ_VALUE ? 0 : 1;
                readsAt19200[0][kind] = now;
                readsAt19200[1][kind] = was;
            }
        }
    }
    printf(
        "\nLines that one core keeps polling at 19200 bit/s, reads back to back (a read's\n"
        "wall time over its CPU time): %.0f with one-word reads, %.0f with 27-word reads",
        LinesPerCore(readsAt19200[0][0]), LinesPerCore(readsAt19200[0][1]));
    if (before != nullptr) {
        printf(";\nbefore: %.0f and %.0f", LinesPerCore(readsAt19200[1][0]),
               LinesPerCore(readsAt19200[1][1]));
    }
    printf("\n");
}

// Reads on a port that a simulator serves in another process: what `strace
// -c -f` counts is then the driver's alone (and the program's start).
int DeviceReads(const std::string &name, int reads, int words, uint16_t baud, Driver driver) {
    Channel channel(name, 30, baud, driver);
    const Operation op = words == 1 ? kOperations[0]
                                    : Operation{"read words", QIV_CMD_READ_BLOCK, words,
                                                kReadRequestChars, wire::AnswerLength(words)};
    Costs costs;
    const auto start = Clock::now();
    Run(channel, op, reads, &costs);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    printf(
        "%d reads of %d word%s at %u bit/s in %.2f s: median %.2f ms; per read %.0f us of CPU, "
        "%.1f system calls in the driver, %.1f wake-ups\n",
        reads, words, words == 1 ? "" : "s", baud, seconds, Percentile(costs.ms, 0.5),
        costs.Per(costs.cpuUs), costs.Per(static_cast<double>(costs.calls)),
        costs.Per(static_cast<double>(costs.wakes)));
    return 0;
}

void Unpaced(int reads, bool report) {
    auto simulator = StartSimulator(0);
    Channel channel(PortName(simulator->DevicePath()), 4);
    TagAccess tag = channel.Tag('D', 1, 0);
    // The hook counts: one allocation made as if by the driver shows.
    const long hookCheck = g_driverAllocations;
    t_inDriver = true;
    free(malloc(16));
    t_inDriver = false;
    if (g_driverAllocations != hookCheck + 1) {
        fprintf(stderr, "bench: the allocation counter does not count\n");
        exit(1);
    }
    rusage before, after;
    getrusage(RUSAGE_THREAD, &before);
    const long allocationsBefore = g_driverAllocations;
    const auto start = Clock::now();
    for (int i = 0; i < reads; ++i) {
        if (channel.Call(QIV_CMD_READ_VALUE, &tag) != 0) {
            fprintf(stderr, "bench: read failed\n");
            exit(1);
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    getrusage(RUSAGE_THREAD, &after);
    if (!report)
        return;
    const auto micros = [](const timeval &t) { return t.tv_sec * 1e6 + t.tv_usec; };
    const double cpu = (micros(after.ru_utime) - micros(before.ru_utime)) +
                       (micros(after.ru_stime) - micros(before.ru_stime));
    printf("\nWithout pacing, %d one-word reads\n", reads);
    printf("  %.0f transactions per second\n", reads / seconds);
    printf("  %.1f us of the host thread's CPU time (user + system) per transaction\n",
           cpu / reads);
    printf("  %.3f heap allocations per transaction in the driver\n",
           static_cast<double>(g_driverAllocations - allocationsBefore) / reads);
}

// Times `rounds` reads of the tag, in ms; `statuses` gets each read's status.
std::vector<double> TimedReads(Channel &channel, TagAccess &tag, int rounds,
                               std::vector<int32_t> *statuses) {
    std::vector<double> ms;
    for (int i = 0; i < rounds; ++i) {
        const auto start = Clock::now();
        const int32_t status = channel.Call(QIV_CMD_READ_VALUE, &tag);
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        if (statuses != nullptr)
            statuses->push_back(status);
    }
    return ms;
}

// "status 0 x3" or "status 1 x2, status 0 x1": what the reads returned.
std::string StatusCounts(const std::vector<int32_t> &statuses) {
    std::string text;
    for (const int32_t status : {0, 1, 2}) {
        const long count = std::count(statuses.begin(), statuses.end(), status);
        if (count == 0)
            continue;
        text += (text.empty() ? "" : ", ") + std::string("status ") + std::to_string(status) +
                " x" + std::to_string(count);
    }
    return text;
}

// The bound of an operation at `baud` with the time-out `timeoutMs` that
// sent `markers` status requests, `requests` frames of the read and waited
// `waits` times until a horizon:
//   m x (Xm + T + Lm) + r x (X + T + L) + w x (G + 3 ms)
// X and Xm the send times of a read's frame (20 characters) and of the marker
// (9) with the RTS lead, L and Lm the line times of a one-word answer and of
// the status answer (25 characters), one character and 5 ms more. Each of the
// driver's waits, two a frame, may end up to kWakeSlackMs late by the
// scheduler.
struct Bound {
    double ms, slackMs;
};
constexpr double kWakeSlackMs = 2;

Bound BoundOf(uint32_t timeoutMs, uint16_t baud, int markers, int requests, int waits) {
    const auto sendMs = [baud](int chars) { return LineMs(chars, baud) + kRtsLeadMs; };
    const auto lineMs = [baud](int chars) { return std::ceil(LineMs(chars + 1, baud)) + 5; };
    const double guardMs = AnswerHorizonMs(timeoutMs) - timeoutMs;
    const double ms =
        markers * (sendMs(9) + timeoutMs + lineMs(25)) +
        requests * (sendMs(kReadRequestChars) + timeoutMs + lineMs(wire::AnswerLength(1))) +
        waits * (guardMs + kHorizonMarginMs);
    return {ms, (markers + requests) * 2 * kWakeSlackMs};
}
// A station in step: three frames and one horizon. A silent doubtful one:
// three markers and one horizon. A doubtful one at worst: three markers, the
// third answered at its horizon, and one frame of the read, unanswered.
Bound InStepBound(uint32_t timeoutMs, uint16_t baud) {
    return BoundOf(timeoutMs, baud, 0, kAttempts, 1);
}
Bound SilentDoubtfulBound(uint32_t timeoutMs, uint16_t baud) {
    return BoundOf(timeoutMs, baud, kAttempts, 0, 1);
}
Bound DoubtfulBound(uint32_t timeoutMs, uint16_t baud) {
    return BoundOf(timeoutMs, baud, kAttempts, 1, 2);
}

// Reads the tag once and then `rounds` times more, and prints each part's
// statuses and times against its bound and the bound with the slack: the
// first read finds the station in step, the later ones, after a first that
// went unanswered in its time, doubtful.
void FirstAndLaterReads(Channel &channel, TagAccess &tag, int rounds, uint32_t timeoutMs,
                        uint16_t baud) {
    printf("  %-15s %-15s %10s %10s %10s %12s\n", "", "", "median", "longest", "bound",
           "with slack");
    for (const bool later : {false, true}) {
        std::vector<int32_t> statuses;
        const std::vector<double> ms = TimedReads(channel, tag, later ? rounds : 1, &statuses);
        const Bound bound =
            later ? SilentDoubtfulBound(timeoutMs, baud) : InStepBound(timeoutMs, baud);
        const std::string what = later ? std::to_string(rounds) + " later reads" : "first read";
        printf("  %-15s %-15s %7.2f ms %7.2f ms %7.1f ms %9.1f ms\n", what.c_str(),
               StatusCounts(statuses).c_str(), Percentile(ms, 0.5), Percentile(ms, 1.0), bound.ms,
               bound.ms + bound.slackMs);
    }
}

// A silent station: its first read sends the request three times and waits
// out the horizon; from then on the station is doubtful, and each read sends
// the marker three times and waits out the third's horizon, as long.
void SilentStation(int rounds) {
    auto simulator = StartSimulator(0);
    const int32_t timeout = 4;
    const uint32_t timeoutMs = timeout * 10;
    Channel channel(PortName(simulator->DevicePath()), timeout);
    TagAccess tag = channel.Tag('D', 9, 0);  // no station 09 on the line
    printf(
        "\nA silent station, T %u ms, H %u ms; the slack: %.0f ms for each of the driver's\n"
        "waits, two a frame:\n",
        timeoutMs, AnswerHorizonMs(timeoutMs), kWakeSlackMs);
    FirstAndLaterReads(channel, tag, rounds, timeoutMs, 19200);
    printf("  three unanswered markers cost 3 x (Xm + T) + G + 3 ms, %.1f ms at 19200 bit/s\n",
           kAttempts * (LineMs(9, 19200) + kRtsLeadMs + timeoutMs) + AnswerHorizonMs(timeoutMs) -
               timeoutMs + kHorizonMarginMs);
}

// A station that refuses every request with an error answer: each attempt is
// answered at once, so a refused read costs three exchanges and never waits
// out a time-out.
void RefusedRead(int rounds) {
    auto simulator = StartSimulator(0);
    const int32_t timeout = 4;
    Channel channel(PortName(simulator->DevicePath()), timeout);
    TagAccess tag = channel.Tag('D', 1, 0);
    const double exchangeMs = Percentile(TimedReads(channel, tag, rounds, nullptr), 0.5);
    fpsim::Fault refusal;
    refusal.kind = fpsim::FaultKind::kErrorResponse;
    simulator->FaultEvery(1, refusal);
    std::vector<int32_t> statuses;
    const std::vector<double> ms = TimedReads(channel, tag, rounds, &statuses);
    const double bound = kAttempts * (exchangeMs + 5);
    printf(
        "\nA refused read (an error answer to every attempt), %d reads: %s; median %.2f ms,\n"
        "longest %.2f ms; bound (three exchanges of %.2f ms, the median good read, + 5 ms each)\n"
        "%.1f ms\n",
        rounds, StatusCounts(statuses).c_str(), Percentile(ms, 0.5), Percentile(ms, 1.0),
        exchangeMs, bound);
}

// A station whose every answer comes one and a half time-outs late: the first
// attempt goes unanswered, its answer comes during the second, and the read
// waits out the answers still owed until the horizon of its last frame; the
// station is doubtful after it, so every later read sends the marker first.
void LateStation(int rounds) {
    auto simulator = StartSimulator(0);
    const int32_t timeout = 4;
    const uint32_t timeoutMs = timeout * 10;
    Channel channel(PortName(simulator->DevicePath()), timeout);
    simulator->SetAnswerDelay(static_cast<int>(timeoutMs * 3 / 2));
    TagAccess tag = channel.Tag('D', 1, 0);
    printf("\nA station answering 1.5 time-outs (%u ms) late:\n", timeoutMs * 3 / 2);
    FirstAndLaterReads(channel, tag, rounds, timeoutMs, 19200);
}

// A station that answers one read late, `pastMs` after that read's last frame
// can still take it (its horizon and the margin), at 19200 bit/s: the late
// read fails, and the read after it finds the station doubtful and brings it
// in step with the marker first. What that costs, against an ordinary read.
void OnceLate(int rounds) {
    const uint16_t baud = 19200;
    auto simulator = StartSimulator(baud);
    const int32_t timeout = 4;
    const uint32_t timeoutMs = timeout * 10;
    Channel channel(PortName(simulator->DevicePath()), timeout, baud);
    TagAccess tag = channel.Tag('D', 1, 0);
    // The late read's last frame goes out two attempts after its first.
    const double sendMs = LineMs(kReadRequestChars, baud) + kRtsLeadMs;
    const double lastFrameMs = (kAttempts - 1) * (sendMs + timeoutMs);
    printf(
        "\nA station answering one read late, at %u bit/s, T %u ms, %d times each; medians of\n"
        "the read before (ordinary) and the read after the late one (the marker first):\n",
        baud, timeoutMs, rounds);
    printf("  %-17s %-24s %9s %-24s %9s %9s\n", "answer late by", "late read", "ordinary",
           "read after", "after", "cost");
    for (const int pastMs : {5, 60}) {
        const int lateMs =
            static_cast<int>(lastFrameMs + AnswerHorizonMs(timeoutMs) + kHorizonMarginMs) + pastMs;
        std::vector<double> ordinary, late, after;
        std::vector<int32_t> ordinaryStatuses, lateStatuses, afterStatuses;
        for (int i = 0; i < rounds; ++i) {
            const double ordinaryMs = TimedReads(channel, tag, 1, &ordinaryStatuses)[0];
            fpsim::Fault fault;
            fault.kind = fpsim::FaultKind::kLate;
            fault.lateMs = lateMs;
            simulator->FaultOnce(fault);
            late.push_back(TimedReads(channel, tag, 1, &lateStatuses)[0]);
            after.push_back(TimedReads(channel, tag, 1, &afterStatuses)[0]);
            ordinary.push_back(ordinaryMs);
            // Back in step before the next round.
            TimedReads(channel, tag, 2, nullptr);
        }
        const std::string what =
            std::to_string(lateMs) + " ms (" + std::to_string(pastMs) + " past)";
        printf("  %-17s %-24s %6.2f ms %-24s %6.2f ms %6.2f ms\n", what.c_str(),
               StatusCounts(lateStatuses).c_str(), Percentile(ordinary, 0.5),
               StatusCounts(afterStatuses).c_str(), Percentile(after, 0.5),
               Percentile(after, 0.5) - Percentile(ordinary, 0.5));
    }
    const Bound bound = DoubtfulBound(timeoutMs, baud);
    printf(
        "  (\"past\": after the late read's last frame could take it; the read after is\n"
        "  bounded by %.1f ms, %.1f ms with the slack)\n",
        bound.ms, bound.ms + bound.slackMs);
}

// The echo that a two-wire adapter hears costs the request's line time once
// more and nothing else: the driver skips it within the same attempt.
void EchoingLine(int rounds) {
    const uint16_t baud = 19200;
    auto simulator = StartSimulator(baud);
    Channel channel(PortName(simulator->DevicePath()), 4, baud);
    TagAccess tag = channel.Tag('D', 1, 0);
    std::vector<int32_t> plainStatuses, echoStatuses;
    const double plain = Percentile(TimedReads(channel, tag, rounds, &plainStatuses), 0.5);
    fpsim::Fault echo;
    echo.kind = fpsim::FaultKind::kEcho;
    simulator->FaultEvery(1, echo);
    const double echoed = Percentile(TimedReads(channel, tag, rounds, &echoStatuses), 0.5);
    simulator->ClearFaults();
    printf(
        "\nAn echoing adapter at %u bit/s, %d one-word reads each: plain line %s, median %.2f "
        "ms;\nevery request echoed %s, median %.2f ms: the echo costs %.2f ms a read (under 2 "
        "ms)\n",
        baud, rounds, StatusCounts(plainStatuses).c_str(), plain,
        StatusCounts(echoStatuses).c_str(), echoed, echoed - plain);
}

// A silent station on a line that carries a "%" every 5 ms: each "%" begins
// a frame that never completes, and still every attempt ends by its
// deadlines, and so does the marker of every later read.
void PercentEvery5Ms(int rounds) {
    const uint16_t baud = 19200;
    auto simulator = StartSimulator(0);
    const int32_t timeout = 4;
    const uint32_t timeoutMs = timeout * 10;
    Channel channel(PortName(simulator->DevicePath()), timeout, baud);
    TagAccess tag = channel.Tag('D', 9, 0);  // no station 09 on the line
    simulator->SetChatter(5, true, '%');
    printf("\nA silent station on a line with a %% every 5 ms:\n");
    FirstAndLaterReads(channel, tag, rounds, timeoutMs, baud);
    simulator->SetChatter(0, true);
}

}  // namespace

int main(int argc, char **argv) {
    kelpra_set_echo(0);
    bool quick = false;
    const char *before = nullptr;
    const char *device = nullptr;
    const char *driver = nullptr;
    int unpaced = -1, reads = 0, words = 1, floorReads = 0;
    long baud = 19200;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const bool valued = option == "--before" || option == "--unpaced" || option == "--device" ||
                            option == "--reads" || option == "--words" || option == "--baud" ||
                            option == "--driver" || option == "--floor";
        if (option == "--help" || option == "-h") {
            fputs(kUsage, stdout);
            return 0;
        }
        if (option == "--quick") {
            quick = true;
            continue;
        }
        if (!valued || i + 1 == argc) {
            fprintf(stderr, "qivma_bench: %s %s\n%s", option.c_str(),
                    valued ? "needs a value" : "is not an option", kUsage);
            return 2;
        }
        const char *value = argv[++i];
        if (option == "--before")
            before = value;
        else if (option == "--device")
            device = value;
        else if (option == "--driver")
            driver = value;
        else if (option == "--unpaced")
            unpaced = atoi(value);
        else if (option == "--floor")
            floorReads = atoi(value);
        else if (option == "--reads")
            reads = atoi(value);
        else if (option == "--words")
            words = atoi(value);
        else
            baud = atol(value);
    }
    if (unpaced >= 0) {
        Unpaced(unpaced, false);
        return 0;
    }
    if (device != nullptr) {
        if (reads < 1 || words < 1 || words > wire::kMaxWordsPerFrame || baud < 50 ||
            baud > 65535) {
            fprintf(stderr,
                    "qivma_bench: --device takes --reads 1 or more, --words 1 to 27 "
                    "and --baud 50 to 65535\n");
            return 2;
        }
        const Driver chosen =
            driver != nullptr ? LoadDriver(driver, "given") : Driver{"now", &QivMain};
        return DeviceReads(device, reads, words, static_cast<uint16_t>(baud), chosen);
    }
    Driver earlier = {"before", nullptr};
    if (before != nullptr)
        earlier = LoadDriver(before, "before");
    if (floorReads > 0) {
        BesideTheFloor(floorReads, before != nullptr ? &earlier : nullptr);
        return 0;
    }
    Paced(quick ? 10 : 50, before != nullptr ? &earlier : nullptr);
    BesideTheFloor(quick ? 100 : 1000, before != nullptr ? &earlier : nullptr);
    Unpaced(quick ? 500 : 5000, true);
    SilentStation(quick ? 3 : 10);
    RefusedRead(quick ? 5 : 20);
    LateStation(quick ? 3 : 10);
    OnceLate(quick ? 3 : 10);
    EchoingLine(quick ? 10 : 50);
    PercentEvery5Ms(quick ? 3 : 10);
    return 0;
}
