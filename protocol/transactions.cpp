#include "protocol/transactions.h"

#include <string.h>

#include "address/numeric_text.h"
#include "protocol/frames.h"
#include "serial/exchange.h"
#include "serial/serial_port.h"

namespace {

constexpr int32_t kResponseOverhead = 9;  // "%", station, "$", echo, block check, CR
constexpr int32_t kDataStart = 6;

bool IsDoubleWordDevice(int32_t device) {
    return device == 'E' || device == 'G';
}

int32_t SingleValueWords(const TagAccess &tag) {
    return tag.width == 32 ? 2 : 1;
}

int32_t BlockWords(const TagAccess &tag) {
    return IsDoubleWordDevice(tag.device) ? tag.count * 2 : tag.count;
}

// The channel's value pointers at words 1 and 0 of the host's buffer, where a
// single value's words are taken from and put.
void PointAtHostBuffer(DriverInstance &instance, const TagAccess &tag) {
    instance.valuePtr = tag.data + 1;
    instance.valuePtr0 = tag.data;
}

// A block moves at least one word and no more than one response carries.
bool IsBlockWithinAFrame(int32_t n) {
    return n >= 1 && n <= kMaxWordsPerFrame;
}

int32_t RunAttempts(DriverRequest *request, const char *frame) {
    DriverInstance &instance = *request->instance;
    const int32_t length = static_cast<int32_t>(strlen(frame));
    memcpy(instance.txFrame, frame, static_cast<size_t>(length) + 1);
    instance.txLength = length;

    int32_t status = QIV_STATUS_REFUSED;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        // Whatever waits was not sent for this request: a late answer to an
        // earlier one would otherwise be read as this one's.
        ClearLineErrors(instance.port);
        DiscardInput(instance.port);
        const int32_t exchanged =
            ExchangeFrame(instance.port, kReplyTimeout, instance.txFrame, instance.txLength,
                          instance.rxFrame, instance.rxLength);
        if (exchanged == kExchangeComplete && CheckResponse(request) == 0) {
            return QIV_STATUS_OK;
        }
        status = exchanged != kExchangeComplete ? exchanged : QIV_STATUS_REFUSED;
        // The answer to this attempt may still be on its way, and it must not
        // be taken for the answer to the next attempt, nor, after the last, to
        // the channel's next transaction: wait until the line has been quiet
        // for the guard time, discarding what comes. On a silent station this
        // costs the guard once per failed attempt (three in all).
        AwaitQuietLine(instance.port, kQuietGuard);
    }
    return status;
}

}  // namespace

int32_t ReadTransaction(DriverRequest *request, int32_t n) {
    char frame[kReadFrameArea];
    if (SetMewtocolCmd(request, FrameKind::kRead, n, frame, sizeof frame, nullptr) != 0) {
        return QIV_STATUS_REFUSED;
    }
    request->instance->rxLength = 4 * n + kResponseOverhead;
    return RunAttempts(request, frame);
}

int32_t WriteTransaction(DriverRequest *request, int32_t n, const int16_t *blockData) {
    char frame[kWriteFrameArea];
    if (SetMewtocolCmd(request, FrameKind::kWrite, n, frame, sizeof frame, blockData) != 0) {
        return QIV_STATUS_REFUSED;
    }
    request->instance->rxLength = kResponseOverhead;
    return RunAttempts(request, frame);
}

int32_t ReadValue(DriverRequest *request) {
    const TagAccess &tag = *static_cast<const TagAccess *>(request->params);
    DriverInstance &instance = *request->instance;
    PointAtHostBuffer(instance, tag);
    tag.data[0] = 0;
    tag.data[1] = 0;

    const int32_t n = SingleValueWords(tag);
    const int32_t status = ReadTransaction(request, n);
    if (status != QIV_STATUS_OK) {
        return status;
    }
    const char *data = instance.rxFrame + kDataStart;
    if (n == 1) {
        tag.data[1] = static_cast<int16_t>(SwappedHexToWord(data));
    } else {
        tag.data[0] = static_cast<int16_t>(SwappedHexToWord(data));
        tag.data[1] = static_cast<int16_t>(SwappedHexToWord(data + kDataWordChars));
    }
    if (tag.dataType == QIV_TYPE_BIT) {
        tag.data[1] = static_cast<int16_t>(TestBit(SwappedHexToWord(data), tag.bitNumber));
    }
    return QIV_STATUS_OK;
}

int32_t ReadBlock(DriverRequest *request) {
    const TagAccess &tag = *static_cast<const TagAccess *>(request->params);
    DriverInstance &instance = *request->instance;
    PointAtHostBuffer(instance, tag);

    const int32_t n = BlockWords(tag);
    if (!IsBlockWithinAFrame(n)) {
        return QIV_STATUS_REFUSED;
    }
    const int32_t status = ReadTransaction(request, n);
    if (status != QIV_STATUS_OK) {
        return status;
    }
    for (int32_t i = 0; i < n; ++i) {
        tag.data[i] = static_cast<int16_t>(
            SwappedHexToWord(instance.rxFrame + kDataStart + kDataWordChars * i));
    }
    return QIV_STATUS_OK;
}

int32_t WriteValue(DriverRequest *request) {
    const TagAccess &tag = *static_cast<const TagAccess *>(request->params);
    DriverInstance &instance = *request->instance;
    PointAtHostBuffer(instance, tag);
    return WriteTransaction(request, SingleValueWords(tag), nullptr);
}

int32_t WriteBlock(DriverRequest *request) {
    const TagAccess &tag = *static_cast<const TagAccess *>(request->params);
    const int32_t n = BlockWords(tag);
    if (!IsBlockWithinAFrame(n)) {
        return QIV_STATUS_REFUSED;
    }
    // Word i of the buffer is the controller word at the start address + i.
    return WriteTransaction(request, n, tag.data);
}
