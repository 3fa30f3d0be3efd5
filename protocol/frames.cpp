#include "protocol/frames.h"

#include <string.h>

#include "address/numeric_text.h"
#include "log/host_log.h"

namespace {

constexpr char kCarriageReturn = '\r';

// The single-bit frame's fixed fields: a three-digit word, one bit digit and
// one value digit.
constexpr int32_t kMaxContactBit = 15;
constexpr int32_t kMaxContactValue = 9;

// A station is one byte: two hexadecimal digits.
constexpr int32_t kMaxStation = 0xFF;

// Appends to a bounded text area; remembers when something did not fit.
class FrameText {
  public:
    FrameText(char *area, int32_t size) : area_(area), size_(size) { area_[0] = '\0'; }

    void Char(char c) {
        if (length_ + 1 >= size_) {
            overflow_ = true;
            return;
        }
        area_[length_++] = c;
        area_[length_] = '\0';
    }
    void Text(const char *text) {
        while (*text != '\0')
            Char(*text++);
    }
    // Upper-case hexadecimal digits, at least `width` of them.
    void Hex(uint32_t value, int width) { Digits(value, 16, width); }
    // Decimal digits, at least `width` of them, after a minus sign if negative.
    void Decimal(int64_t value, int width) {
        if (value < 0) {
            Char('-');
            Digits(static_cast<uint64_t>(-value), 10, width - 1);
        } else {
            Digits(static_cast<uint64_t>(value), 10, width);
        }
    }
    void BlockCheck() { Hex(wire::BlockCheck(area_, length_), wire::kBlockCheckDigits); }

    int32_t length() const { return length_; }
    bool overflow() const { return overflow_; }

  private:
    void Digits(uint64_t value, unsigned base, int width) {
        static const char kDigits[] = "0123456789ABCDEF";
        char reversed[24];
        int count = 0;
        do {
            reversed[count++] = kDigits[value % base];
            value /= base;
        } while (value != 0);
        while (count < width && count < static_cast<int>(sizeof reversed))
            reversed[count++] = '0';
        while (count > 0)
            Char(reversed[--count]);
    }

    char *area_;
    int32_t size_;
    int32_t length_ = 0;
    bool overflow_ = false;
};

bool IsUpperHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

int32_t ComposeSingleBitWrite(const TagAccess &tag, char letter, uint16_t value, FrameText &text) {
    // Values that the fixed fields cannot hold would shift the frame.
    if (tag.wordAddress < 0 || tag.wordAddress > wire::kMaxContactWord || tag.bitNumber < 0 ||
        tag.bitNumber > kMaxContactBit || (value & 0xFF) > kMaxContactValue) {
        return 1;
    }
    text.Text("WCS");
    text.Char(letter);
    text.Decimal(tag.wordAddress, 3);
    text.Hex(static_cast<uint32_t>(tag.bitNumber), 1);
    text.Decimal(value & 0xFF, 1);
    text.BlockCheck();
    text.Char(kCarriageReturn);
    return text.overflow() ? 1 : 0;
}

}  // namespace

int32_t SetMewtocolCmd(DriverRequest *request, FrameKind kind, int32_t n, char *area,
                       int32_t areaSize, const int16_t *blockData) {
    const TagAccess &tag = *static_cast<const TagAccess *>(request->params);
    const DriverInstance &instance = *request->instance;
    FrameText text(area, areaSize);

    text.Char('%');
    text.Hex(static_cast<uint32_t>(tag.station), 2);
    text.Char('#');
    const char letter = static_cast<char>(tag.device & 0xFF);
    const wire::DeviceCommands *device = wire::FindDevice(letter);
    if (device == nullptr) {
        LogToHost("QIVMA: SetMewtocolCmd() Cmd not found %c", static_cast<int>(letter));
        return 1;
    }
    // A station wider than its two digits would shift the frame; a host that
    // built its own TagAccess may hold any value there.
    if (tag.station < 0 || tag.station > kMaxStation) {
        LogToHost("QIVMA: SetMewtocolCmd() station %d out of range", static_cast<int>(tag.station));
        return 1;
    }
    if (kind == FrameKind::kWrite && tag.width == 1) {
        const uint16_t value =
            static_cast<uint16_t>(blockData != nullptr ? blockData[0] : *instance.valuePtr);
        return ComposeSingleBitWrite(tag, letter, value, text);
    }
    const char *command = kind == FrameKind::kRead ? device->read : device->write;
    if (command[0] == '\0') {
        return 1;  // T and C contacts take no writes
    }
    text.Text(command);
    // The digits are minimum widths.
    const int64_t first = tag.wordAddress;
    const int64_t last = first + n - 1;
    const int digits = wire::NumberDigits(letter);
    // A number wider than its field would shift the frame, and the controller
    // would read another register than the one asked for; a block that runs
    // past the last register would name registers that do not exist.
    if (first < 0 || last > wire::LastNumber(letter)) {
        LogToHost("QIVMA: SetMewtocolCmd() %d registers from %d out of range", static_cast<int>(n),
                  static_cast<int>(tag.wordAddress));
        return 1;
    }
    text.Decimal(first, digits);
    text.Decimal(last, digits);

    if (kind == FrameKind::kWrite) {
        char group[wire::kDataWordChars + 1];
        for (int32_t i = 0; i < n; ++i) {
            int16_t word;
            if (blockData != nullptr) {
                word = blockData[i];
            } else if (tag.width == 32) {
                word = i == 0 ? *instance.valuePtr0 : *instance.valuePtr;
            } else {
                word = *instance.valuePtr;
            }
            WordToSwappedHex(static_cast<uint16_t>(word), group);
            text.Text(group);
        }
    }
    text.BlockCheck();
    text.Char(kCarriageReturn);
    if (text.overflow() || text.length() > wire::kMaxFrameLength) {
        return 1;
    }
    return 0;
}

bool IsGoodAnswerFrame(const char *tx, const char *rx, int32_t length) {
    if (length < wire::kAnswerOverhead || length > QIV_RX_FRAME_SIZE) {
        return false;
    }
    if (rx[0] != '%' || rx[3] != '$' || rx[length - 1] != kCarriageReturn) {
        return false;
    }
    // The answer of the station asked, to the command sent.
    if (rx[1] != tx[1] || rx[2] != tx[2] || rx[4] != tx[4] || rx[5] != tx[5]) {
        return false;
    }
    for (int32_t i = wire::kDataStart; i < length - wire::kBlockCheckDigits - 1; ++i) {
        if (!IsUpperHexDigit(rx[i])) {
            return false;
        }
    }
    return wire::BlockCheckHolds(rx, length);
}

bool IsErrorAnswerFrame(const char *tx, const char *rx, int32_t length) {
    return length == wire::kErrorAnswerLength && rx[0] == '%' && rx[1] == tx[1] && rx[2] == tx[2] &&
           rx[3] == '!' && IsUpperHexDigit(rx[4]) && IsUpperHexDigit(rx[5]) &&
           rx[8] == kCarriageReturn && wire::BlockCheckHolds(rx, length);
}

int32_t CheckResponse(DriverRequest *request) {
    const DriverInstance &instance = *request->instance;
    return IsGoodAnswerFrame(instance.txFrame, instance.rxFrame, instance.rxLength) ? 0 : 1;
}

int32_t ComposeStatusRequest(int32_t station, char *area, int32_t areaSize) {
    FrameText text(area, areaSize);
    text.Char('%');
    text.Hex(static_cast<uint32_t>(station & kMaxStation), 2);
    text.Text("#RT");
    text.BlockCheck();
    text.Char(kCarriageReturn);
    return text.length();
}

bool IsStatusAnswerFrame(const char *tx, const char *rx, int32_t length) {
    // The echo sits where a read's does: the answer's own length is the
    // controller's to choose.
    return IsGoodAnswerFrame(tx, rx, length);
}

int32_t AnsweringStation(const char *rx, int32_t length) {
    if (length < wire::kAnswerOverhead || rx[0] != '%' || (rx[3] != '$' && rx[3] != '!') ||
        rx[length - 1] != kCarriageReturn || !IsUpperHexDigit(rx[1]) || !IsUpperHexDigit(rx[2]) ||
        !wire::BlockCheckHolds(rx, length)) {
        return -1;
    }
    return static_cast<int32_t>(HexTextToWord(rx + 1, 2));
}
