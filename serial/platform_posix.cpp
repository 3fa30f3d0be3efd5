// The comm primitives on POSIX termios, with the Win32 meanings that the port
// module relies on.
//
// Handles: a small table of open ports, each with what Win32 keeps per handle
// and termios does not (time-outs, event mask). A handle is its slot number
// plus kHandleBase: never 0 (no port) and never all bits set (the null
// device). Every primitive given an unknown handle fails without a system call.
// A slot is given up only when its close has succeeded: until then no later
// open can reuse it, so that an old handle never names another port.
//
// Line settings: rates are any from 50 bit/s up, through the classic termios
// calls where <termios.h> names the rate and through termios2 only where it
// does not (posix_line.h); 5 to 8 data bits; one, one and a half or two
// stop bits, where one and a half is what a UART sends for "two" with five
// data bits (so, as on Win32, it is accepted with five data bits only, and two
// stop bits only with six to eight); none, odd, even, mark and space parity
// (mark and space through CMSPAR). A value the platform cannot take fails.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "serial/comm_platform.h"
#include "serial/posix_line.h"
#include "serial/posix_read_pacing.h"
#include "serial/spin_lock.h"
#include "wire/wire_rules.h"

namespace {

constexpr int kMaxPorts = 64;
constexpr size_t kMaxPathLength = 256;
constexpr intptr_t kHandleBase = 0x100;
// Unix98 pseudo-terminal slaves: majors 136 to 143.
constexpr unsigned kPtyFirstMajor = 136;
constexpr unsigned kPtyLastMajor = 143;

struct PortSlot {
    bool inUse = false;
    int fd = -1;  // -1 in a slot in use: its descriptor is gone, the handle not yet closed
    bool terminal = false;
    bool pseudoTerminal = false;
    CommTimeouts timeouts = {0, 0, 0, 0, 0};
    uint32_t eventMask = 0;
    uint8_t dtrControl = kDtrControlEnable;
    uint8_t rtsControl = kRtsControlEnable;
    bool exclusive = false;  // opened with the lock: every device but the null device
    dev_t device = 0;        // the character device, when `exclusive`
    // A terminal's settings as the open found them, put back at the close so
    // that the next program on the port finds what it left; `foundKnown`
    // when they could be read whole.
    KernelLine found = {};
    bool foundKnown = false;
    bool excludedOthers = false;  // TIOCEXCL set by the open, cleared at the close
    ReadPacing reads;
};

PortSlot g_ports[kMaxPorts];
// Channels on different threads open and close ports at once. The lock
// guards which slots are in use and the fields by which an open looks for a
// device held already (fd, exclusive, device); the rest of a slot is its
// channel's alone.
SpinLock g_portsLock;
thread_local uint32_t t_lastError = 0;

bool Fail(int error) {
    t_lastError = static_cast<uint32_t>(error);
    return false;
}

// The slot of a handle that the table gave out and has not taken back.
PortSlot *HeldSlotOf(QivPortHandle port) {
    const intptr_t index = reinterpret_cast<intptr_t>(port) - kHandleBase;
    if (index < 0 || index >= kMaxPorts || !g_ports[index].inUse) {
        t_lastError = EBADF;
        return nullptr;
    }
    return &g_ports[index];
}

// The slot of a handle whose descriptor can be used.
PortSlot *SlotOf(QivPortHandle port) {
    PortSlot *slot = HeldSlotOf(port);
    if (slot != nullptr && slot->fd < 0) {
        t_lastError = EBADF;
        return nullptr;
    }
    return slot;
}

bool IsPseudoTerminal(int fd) {
    struct stat info;
    return fstat(fd, &info) == 0 && S_ISCHR(info.st_mode) &&
           major(info.st_rdev) >= kPtyFirstMajor && major(info.st_rdev) <= kPtyLastMajor;
}

bool ValidCharacterFormat(const CommState &state) {
    if (state.byteSize < 5 || state.byteSize > 8)
        return false;
    if (state.parity > QIV_PARITY_SPACE)
        return false;
    if (state.stopBits > QIV_STOPBITS_TWO)
        return false;
    if (state.stopBits == QIV_STOPBITS_ONE_AND_HALF && state.byteSize != 5)
        return false;
    if (state.stopBits == QIV_STOPBITS_TWO && state.byteSize == 5)
        return false;
    return state.baudRate >= 50;
}

// A character's time on the line at the rate, rounded up.
int64_t CharacterUs(const CommState &state) {
    return static_cast<int64_t>(wire::LineMicroseconds(
        1, wire::HalfBitsPerCharacter(state.byteSize, state.parity, state.stopBits),
        state.baudRate));
}

tcflag_t CharacterSizeFlag(uint8_t byteSize) {
    switch (byteSize) {
        case 5:
            return CS5;
        case 6:
            return CS6;
        case 7:
            return CS7;
        default:
            return CS8;
    }
}

tcflag_t ParityFlags(uint8_t parity) {
    switch (parity) {
        case QIV_PARITY_ODD:
            return PARENB | PARODD;
        case QIV_PARITY_EVEN:
            return PARENB;
        case QIV_PARITY_MARK:
            return PARENB | CMSPAR | PARODD;
        case QIV_PARITY_SPACE:
            return PARENB | CMSPAR;
        default:
            return 0;
    }
}

// The modem lines that the open flags hold while the port is open.
void ApplyModemControl(int fd, const CommState &state) {
    int dtr = TIOCM_DTR, rts = TIOCM_RTS;
    // A line without modem lines (a pseudo-terminal) refuses these; the
    // configuration stands without them, as the exchange logs its own keying.
    ioctl(fd, state.fDtrControl == kDtrControlDisable ? TIOCMBIC : TIOCMBIS, &dtr);
    if (state.fRtsControl == kRtsControlEnable) {
        ioctl(fd, TIOCMBIS, &rts);
    } else if (state.fRtsControl == kRtsControlDisable) {
        ioctl(fd, TIOCMBIC, &rts);
    }
}

// Whether a port of this process holds the character device at `path`.
// Under g_portsLock.
bool HeldHere(bool isDevice, dev_t device) {
    if (!isDevice)
        return false;
    for (const PortSlot &slot : g_ports) {
        if (slot.inUse && slot.fd >= 0 && slot.exclusive && slot.device == device)
            return true;
    }
    return false;
}

void ReleaseSlot(PortSlot &port) {
    SpinLockHold hold(g_portsLock);
    port.inUse = false;
}

}  // namespace

QivPortHandle PlatformCreateFile(const char *name) {
    const bool nullDevice = strcmp(name, "NUL") == 0;
    // The host's field holds 11 characters, fewer than many device paths: a
    // name that does not start with "/" names a device in /dev, as "COM1"
    // names one in the device namespace of Windows ("ttyUSB0", "pts/3").
    char path[kMaxPathLength];
    if (nullDevice) {
        snprintf(path, sizeof path, "/dev/null");
    } else if (name[0] == '/') {
        snprintf(path, sizeof path, "%s", name);
    } else {
        snprintf(path, sizeof path, "/dev/%s", name);
    }
    // A device that this process holds is refused before it is opened again:
    // the kernel raises DTR and RTS as it opens a serial terminal, also one
    // that is open already, and the lock below would refuse the open only
    // after that, leaving RTS up on the holder's line until its next frame.
    struct stat named = {};
    const bool isDevice = !nullDevice && stat(path, &named) == 0 && S_ISCHR(named.st_mode);
    int slot = 0;
    {
        SpinLockHold hold(g_portsLock);
        if (HeldHere(isDevice, named.st_rdev)) {
            Fail(EBUSY);
            return QIV_INVALID_PORT_HANDLE;
        }
        while (slot < kMaxPorts && g_ports[slot].inUse)
            ++slot;
        if (slot == kMaxPorts) {
            Fail(EMFILE);
            return QIV_INVALID_PORT_HANDLE;
        }
        // Taken now, without a descriptor, so that no other open takes it.
        g_ports[slot] = PortSlot();
        g_ports[slot].inUse = true;
    }
    PortSlot &port = g_ports[slot];
    // Non-blocking: neither the open nor a read may wait on modem lines; the
    // reads and writes below do their own waiting against deadlines.
    const int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        Fail(errno);
        ReleaseSlot(port);
        return QIV_INVALID_PORT_HANDLE;
    }
    if (!nullDevice) {
        // The lock comes first: TIOCEXCL alone stops neither root nor a second
        // open within this process, while a lock held by another open of the
        // device stops both.
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno == EWOULDBLOCK ? EBUSY : errno;
            close(fd);
            Fail(error);
            ReleaseSlot(port);
            return QIV_INVALID_PORT_HANDLE;
        }
    }
    port.reads.turnedUs = NowMicroseconds();
    port.terminal = isatty(fd) != 0;
    if (!nullDevice && port.terminal) {
        port.excludedOthers = ioctl(fd, TIOCEXCL) == 0;
        port.foundKnown =
            ReadLineSettings(kSystemLineCalls, fd, &port.found) && port.found.rate != 0;
    }
    port.pseudoTerminal = IsPseudoTerminal(fd);
    struct stat info;
    const bool exclusive = !nullDevice && fstat(fd, &info) == 0 && S_ISCHR(info.st_mode);
    {
        SpinLockHold hold(g_portsLock);
        port.fd = fd;
        port.exclusive = exclusive;
        port.device = exclusive ? info.st_rdev : 0;
    }
    return reinterpret_cast<QivPortHandle>(kHandleBase + slot);
}

bool PlatformCloseHandle(QivPortHandle handle) {
    PortSlot *port = HeldSlotOf(handle);
    if (port == nullptr)
        return false;
    if (port->fd >= 0) {
        const int fd = port->fd;
        // The line as the open found it: its rate, format and read settings,
        // and open to others again. A device that refuses them (one gone
        // away) is closed all the same.
        if (port->foundKnown) {
            WriteLineSettings(kSystemLineCalls, fd, port->found);
        }
        if (port->excludedOthers) {
            ioctl(fd, TIOCNXCL);
        }
        // Linux releases the descriptor even when close() reports an error, so
        // it is never used again; the slot stays held, and the handle with
        // it, until a close succeeds. The lock goes with the descriptor.
        {
            SpinLockHold hold(g_portsLock);
            port->fd = -1;
        }
        if (close(fd) != 0 && errno != EINTR) {
            return Fail(errno);
        }
    }
    ReleaseSlot(*port);
    return true;
}

bool PlatformGetCommState(QivPortHandle handle, CommState *state) {
    PortSlot *port = SlotOf(handle);
    if (port == nullptr)
        return false;
    KernelLine line;
    if (!ReadLineSettings(kSystemLineCalls, port->fd, &line))
        return Fail(errno);
    const uint32_t length = state->length;
    memset(state, 0, sizeof *state);
    state->length = length;
    state->baudRate = line.rate;
    state->fBinary = 1;
    state->fParity = (line.iflag & INPCK) != 0;
    state->fOutxCtsFlow = (line.cflag & CRTSCTS) != 0;
    state->fDtrControl = port->dtrControl;
    state->fRtsControl = port->rtsControl;
    state->fOutX = (line.iflag & IXON) != 0;
    state->fInX = (line.iflag & IXOFF) != 0;
    switch (line.cflag & CSIZE) {
        case CS5:
            state->byteSize = 5;
            break;
        case CS6:
            state->byteSize = 6;
            break;
        case CS7:
            state->byteSize = 7;
            break;
        default:
            state->byteSize = 8;
            break;
    }
    if ((line.cflag & PARENB) == 0) {
        state->parity = QIV_PARITY_NONE;
    } else if ((line.cflag & CMSPAR) != 0) {
        state->parity = (line.cflag & PARODD) != 0 ? QIV_PARITY_MARK : QIV_PARITY_SPACE;
    } else {
        state->parity = (line.cflag & PARODD) != 0 ? QIV_PARITY_ODD : QIV_PARITY_EVEN;
    }
    if ((line.cflag & CSTOPB) == 0) {
        state->stopBits = QIV_STOPBITS_ONE;
    } else {
        state->stopBits = state->byteSize == 5 ? QIV_STOPBITS_ONE_AND_HALF : QIV_STOPBITS_TWO;
    }
    state->xonChar = static_cast<char>(line.cc[VSTART]);
    state->xoffChar = static_cast<char>(line.cc[VSTOP]);
    return true;
}

bool PlatformSetCommState(QivPortHandle handle, const CommState *state) {
    PortSlot *port = SlotOf(handle);
    if (port == nullptr)
        return false;
    if (!ValidCharacterFormat(*state))
        return Fail(EINVAL);
    KernelLine line;
    if (!ReadLineSettings(kSystemLineCalls, port->fd, &line))
        return Fail(errno);

    // Raw bytes both ways: nothing translated, echoed, or taken as a signal.
    line.iflag = 0;
    if (state->fParity != 0 && state->parity != QIV_PARITY_NONE)
        line.iflag |= INPCK;
    if (state->fOutX != 0)
        line.iflag |= IXON;
    if (state->fInX != 0)
        line.iflag |= IXOFF;
    line.oflag = 0;
    line.lflag = 0;
    line.cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | HUPCL);
    line.cflag |= CREAD | CLOCAL | CharacterSizeFlag(state->byteSize) | ParityFlags(state->parity);
    if (state->stopBits != QIV_STOPBITS_ONE)
        line.cflag |= CSTOPB;
    if (state->fOutxCtsFlow != 0 || state->fRtsControl == kRtsControlHandshake) {
        line.cflag |= CRTSCTS;
    }
    line.cc[VMIN] = 0;
    line.cc[VTIME] = 0;
    line.cc[VSTART] = static_cast<cc_t>(state->xonChar != 0 ? state->xonChar : 0x11);
    line.cc[VSTOP] = static_cast<cc_t>(state->xoffChar != 0 ? state->xoffChar : 0x13);
    line.rate = state->baudRate;
    if (!WriteLineSettings(kSystemLineCalls, port->fd, line))
        return Fail(errno);

    // Read the line back: what the device did not take fails the open. A
    // pseudo-terminal forces eight bits without parity (it has no line to
    // frame), so those two are not held against it.
    KernelLine applied;
    if (!ReadLineSettings(kSystemLineCalls, port->fd, &applied))
        return Fail(errno);
    uint32_t checked = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
    if (port->pseudoTerminal)
        checked &= ~static_cast<uint32_t>(CSIZE | PARENB);
    if ((applied.cflag & checked) != (line.cflag & checked) || applied.rate != line.rate) {
        return Fail(EINVAL);
    }
    port->reads.characterUs = CharacterUs(*state);
    ApplyModemControl(port->fd, *state);
    port->dtrControl = state->fDtrControl;
    port->rtsControl = state->fRtsControl;
    return true;
}

bool PlatformGetCommTimeouts(QivPortHandle handle, CommTimeouts *timeouts) {
    PortSlot *port = SlotOf(handle);
    if (port == nullptr)
        return false;
    *timeouts = port->timeouts;
    return true;
}

bool PlatformSetCommTimeouts(QivPortHandle handle, const CommTimeouts *timeouts) {
    PortSlot *port = SlotOf(handle);
    if (port == nullptr)
        return false;
    port->timeouts = *timeouts;
    return true;
}

bool PlatformSetupComm(QivPortHandle handle, uint32_t, uint32_t) {
    // termios keeps its own queue sizes.
    return SlotOf(handle) != nullptr;
}

// A read returns when all bytes have come, or when the total time-out
// (multiplier x count + constant) has passed with whatever came, which may be
// nothing; with no time-out at all it waits for every byte. An interval
// time-out ends the read at a gap after the first byte, and MAXDWORD with no
// total time-out returns at once with what is there.
bool PlatformReadFile(QivPortHandle handle, void *buffer, uint32_t count, uint32_t *done) {
    return PlatformReadFileExpecting(handle, buffer, count, count, done);
}

// A terminal read without an interval time-out paces itself at the line's
// rate: it sleeps until all `expected` bytes of a run can have come (never
// past its time-out), and returns once `count` are there.
bool PlatformReadFileExpecting(QivPortHandle handle, void *buffer, uint32_t count,
                               uint32_t expected, uint32_t *done) {
    *done = 0;
    PortSlot *port = SlotOf(handle);
    if (port == nullptr)
        return false;
    const CommTimeouts &t = port->timeouts;
    const uint64_t total =
        static_cast<uint64_t>(t.readTotalTimeoutMultiplier) * count + t.readTotalTimeoutConstant;
    const bool returnAtOnce = t.readIntervalTimeout == UINT32_MAX && total == 0;
    const bool waitForever = total == 0 && t.readIntervalTimeout == 0;
    // Microseconds, so that a read never ends before its time-out.
    const int64_t deadline = NowMicroseconds() + static_cast<int64_t>(total) * 1000;
    char *bytes = static_cast<char *>(buffer);
    if (port->terminal && t.readIntervalTimeout == 0) {
        if (!ReadAll(port->fd, port->reads, bytes, count, expected, waitForever ? -1 : deadline,
                     done))
            return Fail(errno);
        return true;
    }
    TakeAhead(port->reads, bytes, count, done);

    while (*done < count) {
        const ssize_t n = read(port->fd, bytes + *done, count - *done);
        if (n > 0) {
            *done += static_cast<uint32_t>(n);
            continue;
        }
        // A terminal with no byte waiting reads 0 (VMIN and VTIME are 0); any
        // other device reads 0 at its end: a null device has nothing more.
        if (n == 0 && !port->terminal)
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return Fail(errno);
        if (returnAtOnce)
            return true;

        int wait = -1;
        if (!waitForever && total != 0) {
            const int64_t left = deadline - NowMicroseconds();
            if (left <= 0)
                return true;
            wait = static_cast<int>((left + 999) / 1000);
        }
        if (t.readIntervalTimeout != 0 && t.readIntervalTimeout != UINT32_MAX && *done > 0) {
            const int interval = static_cast<int>(t.readIntervalTimeout);
            wait = wait < 0 ? interval : (interval < wait ? interval : wait);
        }
        pollfd ready = {port->fd, POLLIN, 0};
        const int polled = poll(&ready, 1, wait);
        if (polled < 0 && errno != EINTR)
            return Fail(errno);
        if (polled == 0 && (total != 0 || *done > 0))
            return true;
        if (polled > 0 && (ready.revents & (POLLERR | POLLNVAL)) != 0)
            return Fail(EIO);
    }
    return true;
}

// Writes return when the platform has taken every byte (no write time-outs).
bool PlatformWriteFile(QivPortHandle handle, const void *bytes, uint32_t count, uint32_t *done) {
    *done = 0;
    PortSlot *port = SlotOf(handle);
    if (port == nullptr)
        return false;
    // What comes after a frame goes out is the answer to it, or nothing: no
    // run of characters that was coming before goes on.
    port->reads.inRun = false;
    port->reads.turnedUs = NowMicroseconds();
    const char *data = static_cast<const char *>(bytes);
    while (*done < count) {
        const ssize_t n = write(port->fd, data + *done, count - *done);
        if (n > 0) {
            *done += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return Fail(errno);
        pollfd ready = {port->fd, POLLOUT, 0};
        if (poll(&ready, 1, -1) < 0 && errno != EINTR)
            return Fail(errno);
    }
    return true;
}

bool PlatformClearCommError(QivPortHandle handle, uint32_t *errors, CommStat *stat) {
    PortSlot *port = SlotOf(handle);
    if (port == nullptr)
        return false;
    // termios keeps no error word: framing and parity errors show in the data.
    *errors = 0;
    int waiting = 0;
    if (ioctl(port->fd, FIONREAD, &waiting) != 0)
        return Fail(errno);
    waiting += static_cast<int>(port->reads.aheadCount);
    stat->cbInQue = static_cast<uint32_t>(waiting);
    return true;
}

bool PlatformEscapeCommFunction(QivPortHandle handle, uint32_t function) {
    PortSlot *port = SlotOf(handle);
    if (port == nullptr)
        return false;
    // A pseudo-terminal has no modem lines: the kernel refuses every such
    // call with ENOTTY, so it is refused here without the system call that
    // every frame would otherwise make twice.
    if (port->pseudoTerminal)
        return Fail(ENOTTY);
    int line = 0;
    unsigned long request = 0;
    switch (function) {
        case kSetRts:
            line = TIOCM_RTS;
            request = TIOCMBIS;
            break;
        case kClrRts:
            line = TIOCM_RTS;
            request = TIOCMBIC;
            break;
        case kSetDtr:
            line = TIOCM_DTR;
            request = TIOCMBIS;
            break;
        case kClrDtr:
            line = TIOCM_DTR;
            request = TIOCMBIC;
            break;
        default:
            return Fail(EINVAL);
    }
    return ioctl(port->fd, request, &line) == 0 ? true : Fail(errno);
}

bool PlatformGetCommModemStatus(QivPortHandle handle, uint32_t *status) {
    PortSlot *port = SlotOf(handle);
    if (port == nullptr)
        return false;
    int lines = 0;
    if (ioctl(port->fd, TIOCMGET, &lines) != 0)
        return Fail(errno);
    *status = 0;
    if (lines & TIOCM_CTS)
        *status |= kMsCtsOn;
    if (lines & TIOCM_DSR)
        *status |= 0x0020;  // MS_DSR_ON
    if (lines & TIOCM_RNG)
        *status |= 0x0040;  // MS_RING_ON
    if (lines & TIOCM_CAR)
        *status |= 0x0080;  // MS_RLSD_ON
    return true;
}

bool PlatformSetCommMask(QivPortHandle handle, uint32_t mask) {
    PortSlot *port = SlotOf(handle);
    if (port == nullptr)
        return false;
    port->eventMask = mask;
    return true;
}

// A pseudo-terminal hands bytes on as soon as they are written, and any
// other device that is no terminal has no line at all.
bool PlatformGetCommProperties(QivPortHandle handle, uint32_t *providerSubType) {
    PortSlot *port = SlotOf(handle);
    if (port == nullptr)
        return false;
    *providerSubType = port->terminal && !port->pseudoTerminal ? kPstRs232 : kPstUnspecified;
    return true;
}

// The one event waited for here is the empty transmitter: it has come when
// the output has drained, whatever the event mask holds.
bool PlatformWaitCommEvent(QivPortHandle handle, uint32_t *events) {
    *events = 0;
    PortSlot *port = SlotOf(handle);
    if (port == nullptr)
        return false;
    // A pseudo-terminal hands what is written to its other side within the
    // write: nothing is left to drain.
    while (!port->pseudoTerminal && tcdrain(port->fd) != 0) {
        if (errno != EINTR)
            return Fail(errno);
    }
    *events = kEvTxEmpty;
    return true;
}

void PlatformSleep(uint32_t milliseconds) {
    timespec duration = {static_cast<time_t>(milliseconds / 1000),
                         static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&duration, &duration) != 0 && errno == EINTR) {
    }
}

uint64_t PlatformMonotonicMicroseconds() {
    return static_cast<uint64_t>(NowMicroseconds());
}

uint32_t PlatformLastError() {
    return t_lastError;
}
