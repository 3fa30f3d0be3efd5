// A Windows host for the driver's tests under wine: it loads qivma.dll with
// LoadLibrary and GetProcAddress("QivMain"), as a host application does, and
// runs the commands that it reads, one per line, printing one answer line each:
//
//   start PORT TIMEOUT PARITY | reconfigure PORT PARITY | purge | close | open | end
//   parse ADDRESS TYPE COUNT           -> status S
//   read                               -> status S words W0 W1 ...   (the parsed tag)
//   write W0 W1 ...                    -> status S
//   info                               -> status S version V size N name NAME
//   log                                -> CATEGORY|FORMAT|MESSAGE lines, then "end"
//   quit
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include <sstream>
#include <string>
#include <vector>

#include "host/kelpra.h"
#include "qivma.h"

namespace {

std::vector<std::string> g_log;

void Capture(void *, int32_t category, const char *format, const char *message) {
    std::string line = std::to_string(category) + "|" + format + "|" + message;
    for (char &c : line) {
        if (c == '\n')
            c = '~';
    }
    g_log.push_back(line);
}

}  // namespace

int main(int argc, char **argv) {
    const char *library = argc > 1 ? argv[1] : "qivma.dll";
    HMODULE module = LoadLibraryA(library);
    if (module == nullptr) {
        printf("error LoadLibrary %s failed %lu\n", library, GetLastError());
        return 1;
    }
    const QivMainFunction qivMain = reinterpret_cast<QivMainFunction>(
        reinterpret_cast<void *>(GetProcAddress(module, "QivMain")));
    if (qivMain == nullptr) {
        printf("error QivMain not exported\n");
        return 1;
    }
    kelpra_set_echo(0);
    kelpra_set_sink(Capture, nullptr);
    setvbuf(stdout, nullptr, _IONBF, 0);

    DriverInfo info = {};
    DriverRequest request = {};
    request.command = QIV_CMD_GET_DRIVER_INFO;
    request.params = &info;
    qivMain(&request);
    std::vector<unsigned char> instanceBlock(static_cast<size_t>(info.instanceSize), 0);
    DriverInstance *instance = reinterpret_cast<DriverInstance *>(instanceBlock.data());

    std::string address;
    TagAccess access = {};
    int16_t data[64] = {};
    const auto call = [&](int32_t command, void *params) {
        DriverRequest r = {};
        r.instance = instance;
        r.command = command;
        r.params = params;
        return qivMain(&r);
    };

    char lineBuffer[1024];
    while (fgets(lineBuffer, sizeof lineBuffer, stdin) != nullptr) {
        std::istringstream line(lineBuffer);
        std::string command;
        line >> command;
        if (command == "quit")
            break;
        if (command == "start" || command == "reconfigure") {
            std::string port;
            int32_t timeout = 4;
            uint16_t parity = QIV_PARITY_ODD;
            line >> port;
            if (command == "start")
                line >> timeout;
            line >> parity;
            const SerialLineSettings settings = {19200, 8, QIV_STOPBITS_ONE, parity};
            if (command == "start") {
                PortConfig config = {};
                strncpy(config.portName, port.c_str(), sizeof config.portName - 1);
                config.enable = 1;
                config.timeout = timeout;
                config.lineSettings = settings;
                printf("status %d\n", call(QIV_CMD_COLD_START, &config));
            } else {
                PortReconfig reconfig = {};
                strncpy(reconfig.portName, port.c_str(), sizeof reconfig.portName - 1);
                reconfig.lineSettings = settings;
                printf("status %d\n", call(QIV_CMD_RECONFIGURE_PORT, &reconfig));
            }
        } else if (command == "purge" || command == "close" || command == "open" ||
                   command == "end") {
            const int32_t code = command == "purge"   ? QIV_CMD_PURGE_INPUT
                                 : command == "close" ? QIV_CMD_CLOSE_PORT
                                 : command == "open"  ? QIV_CMD_OPEN_PORT
                                                      : QIV_CMD_END;
            printf("status %d\n", call(code, nullptr));
        } else if (command == "parse") {
            TagDefinition definition = {};
            line >> address >> definition.dataType >> definition.count;
            definition.addressText = address.c_str();
            const int32_t status = call(QIV_CMD_PARSE_TAG, &definition);
            access = {};
            access.station = definition.station;
            access.device = definition.device;
            access.wordAddress = definition.wordAddress;
            access.bitNumber = definition.bitNumber;
            access.width = definition.width;
            access.dataType = definition.dataType;
            access.count = definition.count;
            access.data = data;
            printf("status %d\n", status);
        } else if (command == "read") {
            for (int16_t &word : data)
                word = 0x3C3C;
            const bool block = access.count != 0;
            const int32_t status = call(block ? QIV_CMD_READ_BLOCK : QIV_CMD_READ_VALUE, &access);
            const int words =
                block ? (access.device == 'E' || access.device == 'G' ? 2 : 1) * access.count : 2;
            printf("status %d words", status);
            for (int i = 0; i < words; ++i)
                printf(" %d", data[i]);
            printf("\n");
        } else if (command == "write") {
            int value = 0;
            for (int i = 0; i < 64 && line >> value; ++i)
                data[i] = static_cast<int16_t>(value);
            const bool block = access.count != 0;
            printf("status %d\n", call(block ? QIV_CMD_WRITE_BLOCK : QIV_CMD_WRITE_VALUE, &access));
        } else if (command == "info") {
            DriverInfo report = {};
            const int32_t status = call(QIV_CMD_GET_DRIVER_INFO, &report);
            printf("status %d version %d size %d name %s\n", status, report.version,
                   report.instanceSize, report.driverName);
        } else if (command == "log") {
            for (const std::string &entry : g_log)
                printf("%s\n", entry.c_str());
            printf("end\n");
            g_log.clear();
        } else if (!command.empty()) {
            printf("error unknown command %s\n", command.c_str());
        }
    }
    return 0;
}
