// The gateway's answer to any Modbus request: the first byte is the unit id,
// the rest the PDU. Whatever comes, the answer is an exception of the list or
// exactly what was asked, and only writable tags are ever written.
// (fuzz_modbus_stream frames whole streams, from clients that may only read
// too.)
#include <stdint.h>
#include <stdlib.h>

#include <vector>

#include "tests/fuzz/gateway_fixture.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace fuzzgateway;
    static Fixture fixture;
    if (size < 1)
        return 0;
    // The PDU in a buffer of exactly its length, so that a read past it shows.
    const std::vector<uint8_t> pdu(data + 1, data + size);
    const Decision decision =
        Decide(fixture.config, *fixture.map, *fixture.table, data[0], pdu.data(), pdu.size(), true);
    CheckDecision(fixture, decision, true);
    return 0;
}
