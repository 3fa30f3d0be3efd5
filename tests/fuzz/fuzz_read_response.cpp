// Reads with any bytes of any length arriving on the scripted platform: the
// answers to the three attempts, and stray bytes waiting before them.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "protocol/transactions.h"
#include "tests/fake/platform_fake.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 4)
        return 0;
    const char devices[] = "XYRLDETCVSFGd";
    fake_platform::Reset();
    fake_platform::Timeouts() = {0, 0, 40, 0, 0};
    DriverInstance instance = {};
    instance.port = fake_platform::kHandle;
    int16_t buffer[64] = {};
    TagAccess tag = {};
    tag.station = data[0];
    tag.device = devices[data[1] % (sizeof devices - 1)];
    tag.width = data[2] % 3 == 0 ? 1 : data[2] % 3 == 1 ? 16 : 32;
    tag.dataType = tag.width == 1 ? 6 : tag.width == 32 ? 3 : 0;
    tag.bitNumber = data[2] >> 4;
    tag.count = static_cast<int8_t>(data[3]);
    tag.wordAddress = data[3] * 7;
    tag.data = buffer;
    DriverRequest request = {};
    request.instance = &instance;
    request.params = &tag;

    // The rest, split at '|' into what waits before, then the three answers.
    const std::string bytes(reinterpret_cast<const char *>(data + 4), size - 4);
    size_t start = 0;
    for (int part = 0; part < 4; ++part) {
        const size_t end = std::min(bytes.find('|', start), bytes.size());
        const std::string piece = bytes.substr(start, end - start);
        if (part == 0) {
            fake_platform::Arrive(piece);
        } else {
            // Prompt, late within the time-out, or later than it.
            fake_platform::ReplyToNextWrite(piece,
                                            1.0 + 30.0 * static_cast<double>(piece.size() % 3));
        }
        start = std::min(end + 1, bytes.size());
    }
    const int32_t status = (data[1] & 0x80) ? ReadBlock(&request) : ReadValue(&request);
    if (status < 0 || status > 2)
        abort();
    if (instance.rxLength > QIV_RX_FRAME_SIZE || instance.txLength >= QIV_TX_FRAME_SIZE)
        abort();
    // Whatever came, every wait ended by its deadline: each attempt's time-out,
    // the passes that brought bytes (the answers' delays), a begun answer's
    // last time-out, and the horizon; and the time-out is the host's again.
    constexpr double kLongestMs = 3 * (1 + 61 + 40) + 140 + 40;
    if (fake_platform::NowMs() > kLongestMs ||
        fake_platform::Timeouts().readTotalTimeoutConstant != 40)
        abort();
    return 0;
}
