// The frame composer with any values in the tag's fields: no frame longer
// than its area, none over 119 characters accepted.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

#include "protocol/frames.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    struct Fields {
        int32_t station, device, wordAddress, bitNumber, width, n;
        uint8_t write;
        int16_t words[27];
    } f;
    if (size < sizeof f)
        return 0;
    memcpy(&f, data, sizeof f);
    const int32_t n = 1 + (f.n & 0x7FFFFFFF) % 27;  // the callers' word counts
    DriverInstance instance = {};
    int16_t values[2] = {f.words[0], f.words[1]};
    instance.valuePtr0 = values;
    instance.valuePtr = values + 1;
    TagAccess tag = {};
    tag.station = f.station;
    tag.device = f.device;
    tag.wordAddress = f.wordAddress;
    tag.bitNumber = f.bitNumber;
    tag.width = f.width;
    DriverRequest request = {};
    request.instance = &instance;
    request.params = &tag;
    const FrameKind kind = f.write & 1 ? FrameKind::kWrite : FrameKind::kRead;
    const int32_t areaSize = kind == FrameKind::kWrite ? kWriteFrameArea : kReadFrameArea;
    // An area of exactly its size on the heap: a write beyond it is seen.
    std::unique_ptr<char[]> area(new char[static_cast<size_t>(areaSize)]);
    const int32_t status =
        SetMewtocolCmd(&request, kind, n, area.get(), areaSize, f.write & 2 ? f.words : nullptr);
    const size_t length = strnlen(area.get(), static_cast<size_t>(areaSize));
    if (length >= static_cast<size_t>(areaSize))
        abort();
    if (status == 0 &&
        (length > static_cast<size_t>(wire::kMaxFrameLength) || area[length - 1] != '\r')) {
        abort();
    }
    return 0;
}
