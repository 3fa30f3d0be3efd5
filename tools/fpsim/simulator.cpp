#include "tools/fpsim/simulator.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <unistd.h>

#include <utility>

#include "tools/fpsim/frame.h"

namespace fpsim {

namespace {

// A request longer than this without a carriage return is noise.
constexpr size_t kMaxRequestBytes = 2048;

using Clock = std::chrono::steady_clock;

Clock::duration CharTimes(const LineFormat &line, size_t chars) {
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(line.CharSeconds() * static_cast<double>(chars)));
}

}  // namespace

Simulator::Simulator(Options options)
    : options_(std::move(options)), bus_(options_.stations, options_.bus) {}

Simulator::~Simulator() {
    Stop();
}

bool Simulator::Start(std::string *error) {
    if (Running()) {
        return true;
    }
    for (const std::string &station : options_.stations) {
        Memory *memory = bus_.MemoryOf(station);
        if (options_.zeroMemory) {
            memory->Clear();
        }
    }
    for (const std::string &assignment : options_.assignments) {
        // "05:DT100=5" applies to station 05 only; "DT100=5" to every station.
        const size_t colon = assignment.find(':');
        const std::string text =
            colon == std::string::npos ? assignment : assignment.substr(colon + 1);
        for (const std::string &station : options_.stations) {
            if (colon != std::string::npos && assignment.substr(0, colon) != station) {
                continue;
            }
            if (!bus_.MemoryOf(station)->Assign(text, error)) {
                return false;
            }
        }
    }

    if (options_.devicePath.empty()) {
        if (!OpenPseudoTerminal(pty_, error)) {
            return false;
        }
        lineFd_ = pty_.controllerFd;
        if (!options_.linkPath.empty() && !PublishLink(options_.linkPath, pty_.driverPath, error)) {
            ClosePseudoTerminal(pty_);
            lineFd_ = -1;
            return false;
        }
    } else {
        lineFd_ = OpenSerialDevice(options_.devicePath, options_.line, error);
        if (lineFd_ < 0) {
            return false;
        }
    }
    if (pipe2(stopPipe_, O_CLOEXEC) != 0) {
        *error = "pipe failed";
        Stop();
        return false;
    }
    stopping_ = false;
    started_ = Clock::now();
    thread_ = std::thread(&Simulator::Serve, this);
    return true;
}

void Simulator::Stop() {
    if (thread_.joinable()) {
        stopping_ = true;
        const char wake = 0;
        if (write(stopPipe_[1], &wake, 1) < 0) {
            // The thread also sees `stopping_` at its next wake-up.
        }
        thread_.join();
    }
    for (int &fd : stopPipe_) {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
    if (!options_.devicePath.empty() && lineFd_ >= 0) {
        close(lineFd_);
    }
    if (!pty_.driverPath.empty() && !options_.linkPath.empty()) {
        WithdrawLink(options_.linkPath, pty_.driverPath);
    }
    ClosePseudoTerminal(pty_);
    lineFd_ = -1;
}

std::string Simulator::PortPath() const {
    if (!options_.linkPath.empty())
        return options_.linkPath;
    if (!options_.devicePath.empty())
        return options_.devicePath;
    return pty_.driverPath;
}

void Simulator::FaultOnce(const Fault &fault) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.Once(fault);
}

void Simulator::FaultEvery(int n, const Fault &fault) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.Every(n, fault);
}

void Simulator::FaultRandomly(double probability, uint32_t seed,
                              const std::vector<Fault> &choices) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.Randomly(probability, seed, choices);
}

void Simulator::ClearFaults() {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.Clear();
    scripted_.clear();
}

void Simulator::ScriptNextAnswer(const std::string &bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    scripted_.push_back(bytes);
}

uint16_t Simulator::ReadWord(const std::string &station, Area area, size_t index) {
    std::lock_guard<std::mutex> lock(mutex_);
    return bus_.MemoryOf(station)->Word(area, index);
}

void Simulator::WriteWord(const std::string &station, Area area, size_t index, uint16_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    bus_.MemoryOf(station)->SetWord(area, index, value);
}

std::vector<FrameRecord> Simulator::Frames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
}

void Simulator::ClearFrames() {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.clear();
}

bool Simulator::WaitForFrames(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return logChanged_.wait_for(lock, timeout, [&] { return log_.size() >= count; });
}

void Simulator::Record(Direction direction, const std::string &bytes, const std::string &note) {
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - started_).count();
    if (options_.verbose) {
        fprintf(stderr, "fpsim %10.3f ms %s %s%s%s\n", ms,
                direction == Direction::kReceived ? "<-" : "->", Printable(bytes).c_str(),
                note.empty() ? "" : "  ", note.c_str());
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        log_.push_back({ms, direction, bytes, note});
    }
    logChanged_.notify_all();
}

bool Simulator::SleepUntil(Clock::time_point deadline) {
    while (!stopping_) {
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) {
            return true;
        }
        // Wake for a stop request while waiting.
        pollfd stop = {stopPipe_[0], POLLIN, 0};
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count();
        if (ms >= 2) {
            poll(&stop, 1, static_cast<int>(ms - 1));
        } else {
            std::this_thread::sleep_until(deadline);
        }
    }
    return false;
}

void Simulator::Serve() {
    std::string request;
    Clock::time_point firstByte;
    char buffer[512];
    while (!stopping_) {
        pollfd fds[2] = {{lineFd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (stopping_ || (fds[1].revents & POLLIN) != 0) {
            break;
        }
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
            continue;
        }
        const ssize_t n = read(lineFd_, buffer, sizeof buffer);
        if (n <= 0) {
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            // The line is gone (a device unplugged): wait a little and go on.
            SleepUntil(Clock::now() + std::chrono::milliseconds(20));
            continue;
        }
        for (ssize_t i = 0; i < n; ++i) {
            const char c = buffer[i];
            if (c == '%') {
                // A header starts a frame, also in the middle of a broken one.
                if (!request.empty())
                    Record(Direction::kReceived, request, "incomplete frame");
                request.assign(1, c);
                firstByte = Clock::now();
            } else if (!request.empty()) {
                request += c;
                if (c == kCarriageReturn) {
                    HandleFrame(request, firstByte);
                    request.clear();
                } else if (request.size() > kMaxRequestBytes) {
                    Record(Direction::kReceived, request, "no carriage return: dropped");
                    request.clear();
                }
            } else {
                Record(Direction::kReceived, std::string(1, c), "noise before a frame");
            }
        }
    }
}

void Simulator::HandleFrame(const std::string &frame, Clock::time_point firstByte) {
    // On a real line the request's last character arrives one frame's line
    // time after its first; the controller answers a scan later.
    const Clock::time_point earliest = firstByte + CharTimes(options_.line, frame.size()) +
                                       std::chrono::milliseconds(options_.scanDelayMs);
    Outcome outcome;
    Fault fault;
    Delivery delivery;
    bool scripted = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!scripted_.empty()) {
            scripted = true;
            delivery.bytes = scripted_.front();
            delivery.send = !delivery.bytes.empty();
            scripted_.erase(scripted_.begin());
        } else {
            outcome = bus_.Handle(frame);
            if (outcome.answered) {
                fault = faults_.Next();
                delivery = ApplyFault(fault, outcome.response, faults_.Rng());
            }
        }
    }
    std::string note;
    if (scripted) {
        note = "scripted answer";
    } else if (!outcome.answered) {
        note = "not answered (station " + outcome.station + ")";
    } else if (fault.kind != FaultKind::kNone) {
        note = std::string("fault: ") + FaultKindName(fault.kind);
    }
    Record(Direction::kReceived, frame, delivery.send ? "" : note);
    if (!delivery.send) {
        return;
    }
    Send(delivery.bytes, earliest + std::chrono::milliseconds(delivery.extraDelayMs));
    Record(Direction::kSent, delivery.bytes, note);
}

void Simulator::Send(const std::string &bytes, Clock::time_point earliest) {
    if (!SleepUntil(earliest)) {
        return;
    }
    if (options_.line.baud == 0) {
        size_t written = 0;
        while (written < bytes.size()) {
            const ssize_t n = write(lineFd_, bytes.data() + written, bytes.size() - written);
            if (n <= 0)
                return;
            written += static_cast<size_t>(n);
        }
        return;
    }
    // Each character leaves when a line at this rate would have carried it.
    const Clock::time_point start = Clock::now();
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (!SleepUntil(start + CharTimes(options_.line, i + 1))) {
            return;
        }
        if (write(lineFd_, &bytes[i], 1) != 1) {
            return;
        }
    }
}

}  // namespace fpsim
