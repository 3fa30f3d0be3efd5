// Speed of the driver against the controller simulator on a pseudo-terminal,
// next to the physical limit of the line.
//
//   qivma_bench [--quick]            every figure
//   qivma_bench --unpaced N          only N one-word reads without pacing (for callgrind)
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "host/kelpra.h"
#include "protocol/transactions.h"
#include "qivma.h"
#include "serial/exchange.h"
#include "tools/fpsim/simulator.h"

extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);

namespace {

// Heap allocations made while the driver runs on this thread.
thread_local bool t_inDriver = false;
long g_driverAllocations = 0;

}  // namespace

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

std::unique_ptr<fpsim::Simulator> StartSimulator(unsigned baud) {
    fpsim::Options options;
    options.line.baud = baud;
    options.line.dataBits = 8;
    options.line.parity = 'O';
    options.line.stopBits = 1;
    options.scanDelayMs = 0;  // the controller answers at once: the line is what is measured
    auto simulator = std::make_unique<fpsim::Simulator>(options);
    std::string error;
    if (!simulator->Start(&error)) {
        fprintf(stderr, "bench: %s\n", error.c_str());
        exit(1);
    }
    return simulator;
}

class Channel {
  public:
    Channel(const std::string &device, int32_t timeout, uint16_t baud = 19200) {
        PortConfig config = {};
        const std::string name = device.substr(5);
        memcpy(config.portName, name.c_str(), name.size() + 1);
        config.enable = 1;
        config.timeout = timeout;
        config.lineSettings = {baud, 8, QIV_STOPBITS_ONE, QIV_PARITY_ODD};
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
        t_inDriver = true;
        const int32_t status = QivMain(&request);
        t_inDriver = false;
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
    DriverInstance instance_ = {};
    int16_t data_[64] = {};
};

struct Operation {
    const char *name;
    int32_t command;
    int32_t count;
    int requestChars, responseChars;
};

const Operation kOperations[] = {
    {"read 1 word", QIV_CMD_READ_VALUE, 0, 20, 13},
    {"read 27 words", QIV_CMD_READ_BLOCK, 27, 20, 4 * 27 + 9},
    {"write 24 words", QIV_CMD_WRITE_BLOCK, 24, 20 + 4 * 24, 9},
};

double Percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const size_t index =
        std::min(values.size() - 1, static_cast<size_t>(p * (values.size() - 1) + 0.5));
    return values[index];
}

void Paced(int rounds) {
    printf("Paced line, 8 data bits, odd parity, 1 stop bit (11 bits a character); %d of each\n",
           rounds);
    printf("%-8s %-15s %9s %9s %10s %7s\n", "bit/s", "operation", "median", "99th", "line+RTS",
           "ratio");
    // The host's rate field has 16 bits: 57600 is the fastest standard rate it names.
    for (const uint16_t baud : {9600, 19200, 57600}) {
        auto simulator = StartSimulator(baud);
        Channel channel(simulator->DevicePath(), 30, baud);
        for (const Operation &op : kOperations) {
            TagAccess tag = channel.Tag('D', 1, op.count);
            std::vector<double> ms;
            for (int i = 0; i < rounds; ++i) {
                const auto start = Clock::now();
                if (channel.Call(op.command, &tag) != 0) {
                    fprintf(stderr, "bench: %s failed\n", op.name);
                    exit(1);
                }
                ms.push_back(
                    std::chrono::duration<double, std::milli>(Clock::now() - start).count());
            }
            const double lineMs =
                1000.0 * (op.requestChars + op.responseChars) * 11 / baud + kRtsLeadMs;
            const double median = Percentile(ms, 0.5);
            printf("%-8u %-15s %7.2f ms %6.2f ms %7.2f ms %7.3f\n", baud, op.name, median,
                   Percentile(ms, 0.99), lineMs, median / lineMs);
        }
    }
}

void Unpaced(int reads, bool report) {
    auto simulator = StartSimulator(0);
    Channel channel(simulator->DevicePath(), 4);
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

void SilentStation(int rounds) {
    auto simulator = StartSimulator(0);
    const int32_t timeout = 4;
    Channel channel(simulator->DevicePath(), timeout);
    TagAccess tag = channel.Tag('D', 9, 0);  // no station 09 on the line
    std::vector<double> ms;
    for (int i = 0; i < rounds; ++i) {
        const auto start = Clock::now();
        channel.Call(QIV_CMD_READ_VALUE, &tag);
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    const uint32_t timeoutMs = timeout * 10;
    const double bound = kAttempts * timeoutMs + (AnswerHorizonMs(timeoutMs) - timeoutMs) + 10;
    const double median = Percentile(ms, 0.5);
    printf(
        "\nA silent station, %d reads: median %.2f ms, longest %.2f ms; bound (three time-outs,\n"
        "one guard and 10 ms) %.0f ms\n",
        rounds, median, Percentile(ms, 1.0), bound);
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

// A station that refuses every request with an error answer: each attempt is
// answered at once, so a refused read costs three exchanges and never waits
// out a time-out.
void RefusedRead(int rounds) {
    auto simulator = StartSimulator(0);
    const int32_t timeout = 4;
    Channel channel(simulator->DevicePath(), timeout);
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
// waits out the answers still owed until the horizon of its last frame.
void LateStation(int rounds) {
    auto simulator = StartSimulator(0);
    const int32_t timeout = 4;
    const uint32_t timeoutMs = timeout * 10;
    Channel channel(simulator->DevicePath(), timeout);
    simulator->SetAnswerDelay(static_cast<int>(timeoutMs * 3 / 2));
    TagAccess tag = channel.Tag('D', 1, 0);
    std::vector<int32_t> statuses;
    const std::vector<double> ms = TimedReads(channel, tag, rounds, &statuses);
    const double bound = kAttempts * timeoutMs + (AnswerHorizonMs(timeoutMs) - timeoutMs);
    printf(
        "\nA station answering 1.5 time-outs (%u ms) late, %d reads: %s; median %.2f ms,\n"
        "longest %.2f ms; bound (three time-outs and one guard) %.0f ms\n",
        timeoutMs * 3 / 2, rounds, StatusCounts(statuses).c_str(), Percentile(ms, 0.5),
        Percentile(ms, 1.0), bound);
}

// The echo that a two-wire adapter hears costs the request's line time once
// more and nothing else: the driver skips it within the same attempt.
void EchoingLine(int rounds) {
    const uint16_t baud = 19200;
    auto simulator = StartSimulator(baud);
    Channel channel(simulator->DevicePath(), 4, baud);
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
// deadlines. The bound: 3 x (X + T + L) + G + 3 ms, with X the frame's send
// and its RTS lead and L the answer's line time with its slack.
void PercentEvery5Ms(int rounds) {
    const uint16_t baud = 19200;
    auto simulator = StartSimulator(0);
    const int32_t timeout = 4;
    const uint32_t timeoutMs = timeout * 10;
    Channel channel(simulator->DevicePath(), timeout, baud);
    TagAccess tag = channel.Tag('D', 9, 0);  // no station 09 on the line
    simulator->SetChatter(5, true, '%');
    std::vector<int32_t> statuses;
    const std::vector<double> ms = TimedReads(channel, tag, rounds, &statuses);
    simulator->SetChatter(0, true);
    const double sendMs = 1000.0 * 20 * 11 / baud + kRtsLeadMs;
    const double lineMs = std::ceil(1000.0 * (13 + 1) * 11 / baud) + 5;
    const double guardMs = AnswerHorizonMs(timeoutMs) - timeoutMs;
    const double bound = kAttempts * (sendMs + timeoutMs + lineMs) + guardMs + kHorizonMarginMs;
    printf(
        "\nA silent station on a line with a %% every 5 ms, %d reads: %s; median %.2f ms,\n"
        "longest %.2f ms; bound 3 x (X %.2f + T %u + L %.0f) + G %.0f + %u ms = %.1f ms\n",
        rounds, StatusCounts(statuses).c_str(), Percentile(ms, 0.5), Percentile(ms, 1.0), sendMs,
        timeoutMs, lineMs, guardMs, kHorizonMarginMs, bound);
}

}  // namespace

int main(int argc, char **argv) {
    kelpra_set_echo(0);
    if (argc == 3 && strcmp(argv[1], "--unpaced") == 0) {
        Unpaced(atoi(argv[2]), false);
        return 0;
    }
    const bool quick = argc > 1 && strcmp(argv[1], "--quick") == 0;
    Paced(quick ? 10 : 50);
    Unpaced(quick ? 500 : 5000, true);
    SilentStation(quick ? 3 : 10);
    RefusedRead(quick ? 5 : 20);
    LateStation(quick ? 3 : 10);
    EchoingLine(quick ? 10 : 50);
    PercentEvery5Ms(quick ? 3 : 10);
    return 0;
}
