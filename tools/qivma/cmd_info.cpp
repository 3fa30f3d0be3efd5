// qivma info: what the driver says about itself.
#include <stdio.h>

#include "qivma_version.h"
#include "tools/qivma/commands.h"
#include "tools/qivma/cp437.h"
#include "tools/qivma/report.h"

int RunInfo(const CommandLine &line) {
    const DriverInfo info = Session::Info();
    const SerialLineSettings &l = info.defaultLineSettings;
    const std::string banner = Cp437ToUtf8(info.banner);
    Output output(line.global.output, "info");
    Json record = {
        {"driverName", info.driverName},
        {"version", std::to_string(info.version / 10) + "." + std::to_string(info.version % 10)},
        {"library", QIVMA_VERSION_STRING},
        {"instanceSize", info.instanceSize},
        {"defaultTimeoutMs", info.defaultTimeout * 10},
        {"baud", l.baudRate},
        {"dataBits", l.dataBits},
        {"parity", ParityName(l.parity)},
        {"stopBits", StopBitsText(l.stopBits)},
        {"banner", banner},
    };
    if (!output.Json()) {
        printf("%s", banner.c_str());
        printf("driver          %s, version %d.%d (library %s)\n", info.driverName,
               info.version / 10, info.version % 10, QIVMA_VERSION_STRING);
        printf("instance size   %d bytes\n", info.instanceSize);
        printf("default timeout %d ms\n", info.defaultTimeout * 10);
        printf("default line    %u bit/s, %u data bits, %s parity, %s stop bit\n", l.baudRate,
               l.dataBits, ParityName(l.parity), StopBitsText(l.stopBits));
        return kExitDone;
    }
    if (line.global.output == OutputMode::kJsonLines) {
        output.Record(record, TextLines{});
    } else {
        for (auto &field : record.items())
            output.Set(field.key(), field.value());
    }
    return output.Finish(kExitDone);
}
