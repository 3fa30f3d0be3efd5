#include "tools/fpsim/line.h"

#include <stdio.h>

namespace fpsim {

std::string LineFormat::Describe() const {
    if (baud == 0) {
        return "no pacing";
    }
    char text[64];
    snprintf(text, sizeof text, "%u bit/s %d%c%g", baud, dataBits, parity, stopBits);
    return text;
}

}  // namespace fpsim
