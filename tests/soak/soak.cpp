// The soak: a seeded run of many transactions through QivMain against the
// simulator, mixing every operation, device and width, with a share of the
// answers faulted in every way the simulator knows. A model of the
// controller's memory checks every value that a read reports as good.
//
//   qivma_soak [--transactions N] [--seed S] [--fault-rate P] [--timeout UNITS]
//
// Exit status 0 when no wrong value was reported as a success and no
// transaction took longer than its attempts can take.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "host/kelpra.h"
#include "protocol/transactions.h"
#include "qivma.h"
#include "tools/fpsim/simulator.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    long transactions = 3000;
    unsigned seed = 1;
    double faultRate = 0.05;
    int32_t timeout = 2;  // 10 ms units
};

// A kind of tag the soak reads and writes: where it lies in the controller.
struct TagKind {
    char device;
    fpsim::Area area;
    int32_t width;       // 16, 32 or 1
    int32_t maxAddress;  // the highest word address used
    bool writable;
    bool fiveDigits;
};

const TagKind kKinds[] = {
    {'D', fpsim::Area::kData, 16, 9990, true, true},
    {'F', fpsim::Area::kFile, 16, 32000, true, true},
    {'E', fpsim::Area::kData, 32, 9990, true, true},
    {'G', fpsim::Area::kFile, 32, 32000, true, true},
    {'Y', fpsim::Area::kY, 16, 480, true, false},
    {'R', fpsim::Area::kR, 16, 850, true, false},
    {'L', fpsim::Area::kL, 16, 600, true, false},
    {'X', fpsim::Area::kX, 16, 480, false, false},
    {'T', fpsim::Area::kTimerCounter, 16, 150, false, false},
    {'V', fpsim::Area::kElapsedValue, 16, 3000, true, false},
    {'S', fpsim::Area::kSetValue, 16, 3000, true, false},
    {'R', fpsim::Area::kR, 1, 850, true, false},
    {'Y', fpsim::Area::kY, 1, 480, true, false},
};

// The controller's memory as the host believes it to be: every area, sized
// before the run so that the process's memory stays as it starts.
class Model {
  public:
    Model() {
        for (auto &area : words_)
            area.assign(kAreaWords, 0);
        for (auto &area : known_)
            area.assign(kAreaWords, false);
    }
    uint16_t &Word(fpsim::Area area, size_t index) {
        known_[static_cast<size_t>(area)][index] = true;
        return words_[static_cast<size_t>(area)][index];
    }
    bool Known(fpsim::Area area, size_t index) const {
        return known_[static_cast<size_t>(area)][index];
    }

  private:
    static constexpr size_t kAreaWords = 32768;
    std::vector<uint16_t> words_[fpsim::kAreaCount];
    std::vector<bool> known_[fpsim::kAreaCount];
};

struct Tally {
    long ok = 0, refused = 0, line = 0, wrong = 0;
};

long ResidentKilobytes() {
    FILE *status = fopen("/proc/self/status", "r");
    if (status == nullptr)
        return 0;
    char line[256];
    long kb = 0;
    while (fgets(line, sizeof line, status) != nullptr) {
        if (strncmp(line, "VmRSS:", 6) == 0)
            kb = atol(line + 6);
    }
    fclose(status);
    return kb;
}

Options ParseOptions(int argc, char **argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        if (arg == "--transactions")
            o.transactions = atol(argv[i + 1]);
        else if (arg == "--seed")
            o.seed = static_cast<unsigned>(atol(argv[i + 1]));
        else if (arg == "--fault-rate")
            o.faultRate = atof(argv[i + 1]);
        else if (arg == "--timeout")
            o.timeout = atoi(argv[i + 1]);
    }
    return o;
}

}  // namespace

int main(int argc, char **argv) {
    const Options o = ParseOptions(argc, argv);
    kelpra_set_echo(0);
    std::mt19937 rng(o.seed);

    fpsim::Options simOptions;
    simOptions.scanDelayMs = 0;
    fpsim::Simulator simulator(simOptions);
    std::string error;
    if (!simulator.Start(&error)) {
        fprintf(stderr, "soak: %s\n", error.c_str());
        return 1;
    }
    // The late answer comes after the attempt's time-out and before its guard ends.
    fpsim::Fault late;
    late.kind = fpsim::FaultKind::kLate;
    late.lateMs = o.timeout * 10 + kQuietGuard * 10 / 2;

    std::vector<unsigned char> block(4192, 0);
    DriverInstance *instance = reinterpret_cast<DriverInstance *>(block.data());
    const auto call = [&](int32_t command, void *params) {
        DriverRequest request = {};
        request.instance = instance;
        request.command = command;
        request.params = params;
        return QivMain(&request);
    };
    PortConfig config = {};
    const std::string port = simulator.DevicePath().substr(5);
    memcpy(config.portName, port.c_str(), port.size() + 1);
    config.enable = 1;
    config.timeout = o.timeout;
    config.lineSettings = {19200, 8, QIV_STOPBITS_ONE, QIV_PARITY_ODD};
    if (call(QIV_CMD_COLD_START, &config) != 0) {
        fprintf(stderr, "soak: the channel did not start\n");
        return 1;
    }

    Model model;
    std::map<std::string, Tally> byFault;
    Tally total;
    double longestMs = 0;
    // Each attempt waits its time-out, or a late answer, and then the quiet
    // guard: one guard time of silence, or two when bytes come during the first.
    const double boundMs =
        kAttempts * (std::max(o.timeout * 10.0, static_cast<double>(late.lateMs)) +
                     2 * kQuietGuard * 10.0) +
        30;
    const long rssBefore = ResidentKilobytes();
    long rssAfterWarmup = 0;
    std::uniform_real_distribution<double> chance(0.0, 1.0);

    for (long t = 0; t < o.transactions; ++t) {
        if (t == o.transactions / 10)
            rssAfterWarmup = ResidentKilobytes();
        const TagKind &kind = kKinds[rng() % (sizeof kKinds / sizeof kKinds[0])];
        const bool block = kind.width != 1 && rng() % 4 == 0;
        const bool write = kind.writable && rng() % 2 == 0;
        // Blocks up to what one frame carries: 27 words read, 24 written.
        const unsigned maxCount = kind.width == 32 ? (write ? 12 : 13) : (write ? 24 : 27);
        int32_t count = block ? static_cast<int32_t>(1 + rng() % maxCount) : 0;
        int32_t address = static_cast<int32_t>(rng() % static_cast<unsigned>(kind.maxAddress));
        if (kind.width == 32)
            address &= ~1;
        const int32_t words =
            block ? (kind.width == 32 ? 2 * count : count) : (kind.width == 32 ? 2 : 1);

        // The fault of this transaction: on its first answer, or on all three.
        std::string faultName = "none";
        if (chance(rng) < o.faultRate) {
            const auto &kinds = fpsim::AllFaultKinds();
            fpsim::Fault fault;
            fault.kind = kinds[rng() % kinds.size()];
            if (fault.kind == fpsim::FaultKind::kLate)
                fault = late;
            fault.errorCode = rng() % 2 ? 61 : 41;
            const bool persistent = rng() % 4 == 0;
            for (int i = 0; i < (persistent ? kAttempts : 1); ++i)
                simulator.FaultOnce(fault);
            faultName = std::string(fpsim::FaultKindName(fault.kind)) + (persistent ? " x3" : "");
        }

        TagAccess access = {};
        int16_t data[64] = {};
        access.station = 1;
        access.device = kind.device;
        access.wordAddress = address;
        access.width = kind.width;
        access.bitNumber = kind.width == 1 ? static_cast<int32_t>(rng() % 16) : 255;
        access.dataType = kind.width == 32 ? 3 : kind.width == 1 ? 6 : 0;
        access.count = count;
        access.data = data;
        // Words of the controller that the transaction touches.
        const size_t first = static_cast<size_t>(address);
        for (int i = 0; i < 64; ++i)
            data[i] = static_cast<int16_t>(rng());
        if (kind.width == 1)
            data[1] = static_cast<int16_t>(rng() % 2);

        const auto started = Clock::now();
        int32_t status;
        if (write) {
            status = call(block ? QIV_CMD_WRITE_BLOCK : QIV_CMD_WRITE_VALUE, &access);
        } else {
            status = call(block ? QIV_CMD_READ_BLOCK : QIV_CMD_READ_VALUE, &access);
        }
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
        longestMs = std::max(longestMs, ms);
        simulator.ClearFaults();
        simulator.ClearFrames();  // the simulator's log would grow with the run

        Tally &tally = byFault[faultName];
        if (status == 0) {
            ++tally.ok;
            ++total.ok;
        } else if (status == 1) {
            ++tally.refused;
            ++total.refused;
        } else {
            ++tally.line;
            ++total.line;
        }

        if (write) {
            // A good write sets the model; after a failed one the controller
            // may or may not have it, so the model takes the controller's word.
            for (int i = 0; i < (kind.width == 1 ? 1 : words); ++i) {
                const size_t index = first + static_cast<size_t>(i);
                if (status == 0 && kind.width == 1) {
                    if (!model.Known(kind.area, index)) {
                        model.Word(kind.area, index) = simulator.ReadWord("01", kind.area, index);
                    }
                    uint16_t &word = model.Word(kind.area, index);
                    const uint16_t bit = static_cast<uint16_t>(1u << access.bitNumber);
                    word = static_cast<uint16_t>(data[1] != 0 ? word | bit : word & ~bit);
                } else if (status == 0) {
                    const int16_t value = block ? data[i] : (kind.width == 32 ? data[i] : data[1]);
                    model.Word(kind.area, index) = static_cast<uint16_t>(value);
                } else {
                    model.Word(kind.area, index) = simulator.ReadWord("01", kind.area, index);
                }
            }
        } else if (status == 0) {
            bool right = true;
            for (int i = 0; i < words; ++i) {
                const size_t index = first + static_cast<size_t>(i);
                if (!model.Known(kind.area, index)) {
                    model.Word(kind.area, index) = simulator.ReadWord("01", kind.area, index);
                }
                const uint16_t expected = model.Word(kind.area, index);
                uint16_t got;
                if (block) {
                    got = static_cast<uint16_t>(data[i]);
                } else if (kind.width == 32) {
                    got = static_cast<uint16_t>(data[i]);
                } else if (kind.width == 1) {
                    got = static_cast<uint16_t>(data[1]);
                    right = right && got == ((expected >> access.bitNumber) & 1) && data[0] == 0;
                    continue;
                } else {
                    got = static_cast<uint16_t>(data[1]);
                    right = right && data[0] == 0;
                }
                right = right && got == expected;
            }
            if (!right) {
                ++tally.wrong;
                ++total.wrong;
                fprintf(stderr, "WRONG VALUE: transaction %ld, %c%d, fault %s\n", t, kind.device,
                        address, faultName.c_str());
            }
        }
    }
    call(QIV_CMD_END, nullptr);
    simulator.Stop();
    const long rssAfter = ResidentKilobytes();

    printf("soak: %ld transactions, seed %u, faults on %.1f%% of them, time-out %d ms\n",
           o.transactions, o.seed, 100 * o.faultRate, o.timeout * 10);
    printf("%-18s %9s %9s %9s %9s\n", "fault", "ok", "status 1", "status 2", "wrong");
    for (const auto &entry : byFault) {
        const Tally &t = entry.second;
        printf("%-18s %9ld %9ld %9ld %9ld\n", entry.first.c_str(), t.ok, t.refused, t.line,
               t.wrong);
    }
    printf("%-18s %9ld %9ld %9ld %9ld\n", "all", total.ok, total.refused, total.line, total.wrong);
    printf("longest transaction %.1f ms (bound %.1f ms)\n", longestMs, boundMs);
    printf("resident memory %ld kB at start, %ld kB after a tenth, %ld kB at the end\n", rssBefore,
           rssAfterWarmup, rssAfter);
    // Memory stays flat: nothing grows with the number of transactions. Under
    // AddressSanitizer freed memory is held back on purpose, so there it is
    // not judged.
#if defined(__SANITIZE_ADDRESS__)
    const bool flat = true;
    printf("(memory not judged: AddressSanitizer keeps freed memory in quarantine)\n");
#else
    const bool flat = rssAfter - rssAfterWarmup < 1024;
#endif
    const bool ok = total.wrong == 0 && longestMs <= boundMs && flat;
    printf("%s\n", ok ? "soak passed: no wrong value reported as a success" : "soak FAILED");
    return ok ? 0 : 1;
}
