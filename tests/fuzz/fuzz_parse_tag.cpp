// The address parser with any text, data type and count.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "address/tag_address.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 8)
        return 0;
    TagDefinition tag = {};
    memcpy(&tag.dataType, data, 4);
    memcpy(&tag.count, data + 4, 4);
    // The text in a buffer of exactly its length and terminator, so that any
    // read beyond it is seen.
    std::vector<char> text(data + 8, data + size);
    text.push_back('\0');
    tag.addressText = text.data();
    DriverRequest request = {};
    request.params = &tag;
    const int32_t status = ParseTagAddress(&request);
    if (status != 0 && status != 1)
        abort();
    if (status == 0) {
        // 0 to 32 from hexadecimal text, 21 to 32 from decimal text (held as
        // 0x21 to 0x32), EE and FF.
        const bool station = tag.station <= 0x32 || tag.station == 238 || tag.station == 255;
        const bool width = tag.width == 1 || tag.width == 16 || tag.width == 32;
        const bool bit = tag.bitNumber == 255 || (tag.bitNumber >= 0 && tag.bitNumber <= 15);
        if (!station || !width || !bit || tag.wordAddress < 0 || tag.wordAddress > 65535)
            abort();
        if (tag.count > 27)
            abort();
    }
    return 0;
}
