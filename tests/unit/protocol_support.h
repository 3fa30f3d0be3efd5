// A channel on the fake platform and a tag to read and write, for the
// protocol's unit tests.
#pragma once

#include <stdio.h>
#include <string.h>

#include <string>

#include "protocol/station_state.h"
#include "qivma.h"
#include "tests/fake/platform_fake.h"

// The block check of `text`, as two upper-case digits, computed here.
inline std::string Bcc(const std::string &text) {
    unsigned check = 0;
    for (const char c : text)
        check ^= static_cast<unsigned char>(c);
    char digits[3];
    snprintf(digits, sizeof digits, "%02X", check);
    return digits;
}

// `body`, its block check and a carriage return.
inline std::string Sealed(const std::string &body) {
    return body + Bcc(body) + "\r";
}

struct TestChannel {
    DriverInstance instance;
    TagAccess tag;
    int16_t data[64];
    DriverRequest request;

    TestChannel() {
        memset(&instance, 0, sizeof instance);
        instance.port = fake_platform::kHandle;
        StationState::ClearAll(instance);  // as ColdStart leaves a channel
        memset(&tag, 0, sizeof tag);
        tag.station = 1;
        tag.width = 16;
        tag.bitNumber = 255;
        for (int16_t &word : data)
            word = 0x5A5A;
        tag.data = data;
        memset(&request, 0, sizeof request);
        request.instance = &instance;
        request.params = &tag;
    }
    void Tag(char device, int32_t address, int32_t width = 16, int32_t dataType = 0,
             int32_t count = 0, int32_t bit = 255) {
        tag.device = device;
        tag.wordAddress = address;
        tag.width = width;
        tag.dataType = dataType;
        tag.count = count;
        tag.bitNumber = bit;
    }
    std::string TxFrame() const { return instance.txFrame; }
};
