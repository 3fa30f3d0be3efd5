// qivma: a host for people. It calls the driver through QivMain exactly as a
// supervisory host does, and prints what came back.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "host/kelpra.h"
#include "qivma.h"
#include "tools/qivma/cp437.h"

namespace {

const char kUsage[] =
    "usage: qivma COMMAND [ARGS]\n"
    "\n"
    "commands:\n"
    "  info                      the driver's information and banner\n"
    "  check ADDRESS [--type word|dword|bit|CODE] [--count N]\n"
    "                            parse a tag address as the driver does\n"
    "  demo                      the driver's information and a few addresses\n"
    "  help                      this text\n";

// The driver's log messages of the current call, captured from the host library.
std::vector<std::string> g_driverMessages;

void CaptureDriverMessage(void *, int32_t, const char *, const char *message) {
    std::string text = message;
    while (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    g_driverMessages.push_back(text);
}

int32_t CallDriver(int32_t command, void *params, DriverInstance *instance = nullptr) {
    DriverRequest request = {};
    request.instance = instance;
    request.command = command;
    request.params = params;
    g_driverMessages.clear();
    return QivMain(&request);
}

const char *ParityName(uint16_t parity) {
    static const char *const kNames[] = {"none", "odd", "even", "mark", "space"};
    return (parity & 0xFF) < 5 ? kNames[parity & 0xFF] : "unknown";
}

const char *StopBitsName(uint16_t stopBits) {
    static const char *const kNames[] = {"1", "1.5", "2"};
    return (stopBits & 0xFF) < 3 ? kNames[stopBits & 0xFF] : "unknown";
}

int ShowInfo() {
    DriverInfo info = {};
    if (CallDriver(QIV_CMD_GET_DRIVER_INFO, &info) != QIV_STATUS_OK) {
        fprintf(stderr, "qivma: the driver refused to report its information\n");
        return 1;
    }
    printf("%s", Cp437ToUtf8(info.banner).c_str());
    printf("driver          %s, version %d.%d (library %s)\n", info.driverName, info.version / 10,
           info.version % 10, QIVMA_VERSION_STRING);
    printf("instance size   %d bytes\n", info.instanceSize);
    printf("default timeout %d ms\n", info.defaultTimeout * 10);
    const SerialLineSettings &line = info.defaultLineSettings;
    printf("default line    %u bit/s, %u data bits, %s parity, %s stop bit\n", line.baudRate,
           line.dataBits, ParityName(line.parity), StopBitsName(line.stopBits));
    return 0;
}

bool ParseDataType(const char *text, int32_t &dataType) {
    if (strcmp(text, "word") == 0) {
        dataType = QIV_TYPE_WORD;
    } else if (strcmp(text, "dword") == 0) {
        dataType = QIV_TYPE_DWORD;
    } else if (strcmp(text, "bit") == 0) {
        dataType = QIV_TYPE_BIT;
    } else {
        char *end = nullptr;
        const long code = strtol(text, &end, 0);
        if (end == text || *end != '\0') {
            return false;
        }
        dataType = static_cast<int32_t>(code);
    }
    return true;
}

int CheckAddress(const char *address, int32_t dataType, int32_t count) {
    TagDefinition tag = {};
    tag.addressText = address;
    tag.dataType = dataType;
    tag.count = count;
    const int32_t status = CallDriver(QIV_CMD_PARSE_TAG, &tag);
    printf("%-10s %s (type %d, count %d)\n", address,
           status == QIV_STATUS_OK ? "accepted" : "refused", dataType, count);
    printf("  station %d, device %c, word %d, ", tag.station,
           tag.device >= 0x20 && tag.device < 0x7F ? static_cast<char>(tag.device) : '?',
           tag.wordAddress);
    if (tag.bitNumber == 255) {
        printf("no bit, ");
    } else {
        printf("bit %X, ", tag.bitNumber);
    }
    printf("width %d\n", tag.width);
    for (const std::string &message : g_driverMessages) {
        printf("  driver: %s\n", message.c_str());
    }
    return status == QIV_STATUS_OK ? 0 : 1;
}

int RunCheck(int argc, char **argv) {
    const char *address = nullptr;
    int32_t dataType = QIV_TYPE_WORD;
    int32_t count = 0;
    for (int i = 0; i < argc; ++i) {
        if (strcmp(argv[i], "--type") == 0 && i + 1 < argc) {
            if (!ParseDataType(argv[++i], dataType)) {
                fprintf(stderr, "qivma: --type takes word, dword, bit or a number\n");
                return 2;
            }
        } else if (strcmp(argv[i], "--count") == 0 && i + 1 < argc) {
            count = static_cast<int32_t>(strtol(argv[++i], nullptr, 0));
        } else if (address == nullptr && argv[i][0] != '-') {
            address = argv[i];
        } else {
            fprintf(stderr, "qivma: unexpected argument '%s'\n%s", argv[i], kUsage);
            return 2;
        }
    }
    if (address == nullptr) {
        fprintf(stderr, "qivma: check needs an ADDRESS\n%s", kUsage);
        return 2;
    }
    return CheckAddress(address, dataType, count);
}

int RunDemo() {
    int result = ShowInfo();
    printf("\n");
    struct Sample {
        const char *address;
        int32_t dataType;
        int32_t count;
    };
    const Sample samples[] = {
        {"01D00100", QIV_TYPE_WORD, 0},  {"01E00100", QIV_TYPE_DWORD, 0},
        {"01R0012A", QIV_TYPE_BIT, 0},   {"1FY0001", QIV_TYPE_WORD, 0},
        {"01D00100", QIV_TYPE_WORD, 27}, {"01E00101", QIV_TYPE_DWORD, 0},
        {"01Z0010", QIV_TYPE_WORD, 0},
    };
    for (const Sample &sample : samples) {
        CheckAddress(sample.address, sample.dataType, sample.count);
    }
    return result;
}

}  // namespace

int main(int argc, char **argv) {
    kelpra_set_echo(0);
    kelpra_set_sink(CaptureDriverMessage, nullptr);
    if (argc < 2 || strcmp(argv[1], "help") == 0 || strcmp(argv[1], "--help") == 0) {
        printf("%s", kUsage);
        return argc < 2 ? 2 : 0;
    }
    const std::string command = argv[1];
    if (command == "info") {
        return ShowInfo();
    }
    if (command == "check") {
        return RunCheck(argc - 2, argv + 2);
    }
    if (command == "demo") {
        return RunDemo();
    }
    fprintf(stderr, "qivma: unknown command '%s'\n%s", argv[1], kUsage);
    return 2;
}
