#include "tools/fpsim/line.h"

#include <stdio.h>

namespace fpsim {

std::string LineFormat::Describe() const {
    if (baud == 0) {
        return "no pacing";
    }
    return std::to_string(baud) + " bit/s " + Characters();
}

std::string LineFormat::Characters() const {
    char text[32];
    snprintf(text, sizeof text, "%d%c%g", dataBits, parity, stopBits);
    return text;
}

}  // namespace fpsim
