// A client's stream of Modbus TCP requests, each cut or padded at will: the
// gateway frames it by the headers alone and gives one answer per header,
// the request's own, and nothing else; a header that is no Modbus TCP
// request's ends the stream unanswered.
//
// The input: a first byte whose low bit says whether the client may write,
// then requests, each [unit][n][n bytes of PDU], sent with a header of
// length n + 1 (n = 0 and n > 253 are refused) and protocol id 0, or 1 for
// a unit of 0xFF. A last request cut short ends the stream.
#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "tests/fuzz/gateway_fixture.h"

namespace {

using namespace fuzzgateway;

struct Sent {
    uint16_t transaction;
    uint8_t unit;
    uint8_t function;
};

int Word(const uint8_t *at) {
    return at[0] << 8 | at[1];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static Fixture fixture;
    if (size < 1)
        return 0;
    const bool mayWrite = (data[0] & 1) != 0;
    // The stream, and what must come of it.
    std::vector<uint8_t> stream;
    std::vector<Sent> answered;  // the requests that must each get an answer
    bool refused = false;
    size_t endOfFraming = 0;  // where the gateway must stop reading
    for (size_t at = 1; at + 2 <= size && !refused;) {
        const uint8_t unit = data[at];
        const size_t n = data[at + 1];
        at += 2;
        const uint16_t transaction = static_cast<uint16_t>(answered.size() * 7 + 1);
        const uint16_t length = static_cast<uint16_t>(n + 1);
        const uint8_t header[kMbapHeaderBytes] = {static_cast<uint8_t>(transaction >> 8),
                                                  static_cast<uint8_t>(transaction),
                                                  0,
                                                  unit == 0xFF,
                                                  static_cast<uint8_t>(length >> 8),
                                                  static_cast<uint8_t>(length),
                                                  unit};
        stream.insert(stream.end(), header, header + sizeof header);
        const size_t taken = std::min(n, size - at);
        stream.insert(stream.end(), data + at, data + at + taken);
        at += taken;
        refused = unit == 0xFF || n == 0 || n > kMaxPduBytes;
        if (refused) {
            endOfFraming = stream.size() - taken;
        } else if (taken == n) {
            answered.push_back({transaction, unit, data[at - n]});
            endOfFraming = stream.size();
        } else {
            endOfFraming = stream.size();
            break;
        }
    }

    // The gateway's side: frame, decide, carry as if every line acknowledged,
    // answer.
    size_t read = 0;
    const auto receive = [&](uint8_t *buffer, size_t wanted) {
        if (stream.size() - read < wanted) {
            read = stream.size();
            return false;
        }
        std::copy(stream.begin() + static_cast<long>(read),
                  stream.begin() + static_cast<long>(read + wanted), buffer);
        read += wanted;
        return true;
    };
    std::vector<std::vector<uint8_t>> answers;
    Request request;
    std::string why;
    Framed framed;
    while ((framed = ReadRequest(receive, request, &why)) == Framed::kRequest) {
        const int unit = request.header.unit;
        Decision decision = Decide(fixture.config, *fixture.map, *fixture.table, unit,
                                   request.pdu.data(), request.pdu.size(), mayWrite);
        CheckDecision(fixture, decision, mayWrite);
        if (decision.exception == 0 && decision.function == kReadWriteRegisters)
            decision = ReadAfterWrite(*fixture.map, *fixture.table, unit, decision);
        answers.push_back(Answer(request, decision));
    }

    if ((framed == Framed::kRefused) != refused || (refused && why.empty()))
        abort();
    if (read != endOfFraming || answers.size() != answered.size())
        abort();
    for (size_t i = 0; i < answers.size(); ++i) {
        const std::vector<uint8_t> &answer = answers[i];
        // Its header: the request's transaction and unit, protocol 0, and
        // the length of what follows.
        if (answer.size() < kMbapHeaderBytes + 2 ||
            answer.size() > kMbapHeaderBytes + kMaxPduBytes ||
            Word(answer.data()) != answered[i].transaction || Word(answer.data() + 2) != 0 ||
            static_cast<size_t>(Word(answer.data() + 4)) != answer.size() - 6 ||
            answer[6] != answered[i].unit)
            abort();
        // The request's function, or an exception: it with its top bit and
        // one code.
        const uint8_t function = answered[i].function;
        if (answer[7] != function && answer[7] != (function | 0x80))
            abort();
        if (answer[7] != function && answer.size() != kMbapHeaderBytes + 2)
            abort();
    }
    return 0;
}
