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
#include "support/host_channel.h"

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
    Host host(qivMain, static_cast<size_t>(info.instanceSize));

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
            printf("status %d\n", command == "start" ? host.Start(port, timeout, settings)
                                                     : host.Reconfigure(port, settings));
        } else if (command == "purge" || command == "close" || command == "open" ||
                   command == "end") {
            const int32_t code = command == "purge"   ? QIV_CMD_PURGE_INPUT
                                 : command == "close" ? QIV_CMD_CLOSE_PORT
                                 : command == "open"  ? QIV_CMD_OPEN_PORT
                                                      : QIV_CMD_END;
            printf("status %d\n", host.Call(code));
        } else if (command == "parse") {
            std::string address;
            int32_t dataType = 0, count = 0;
            line >> address >> dataType >> count;
            printf("status %d\n", host.Parse(address.c_str(), dataType, count));
        } else if (command == "read") {
            const TagAccess &access = host.access();
            const bool block = access.count != 0;
            const size_t words =
                block ? (access.device == 'E' || access.device == 'G' ? 2 : 1) * access.count : 2;
            Words data;
            const int32_t status = host.Read(data, words);
            printf("status %d words", status);
            for (const int16_t word : data)
                printf(" %d", word);
            printf("\n");
        } else if (command == "write") {
            Words data;
            for (int value = 0; data.size() < 64 && line >> value;)
                data.push_back(static_cast<int16_t>(value));
            printf("status %d\n", host.Write(data));
        } else if (command == "info") {
            DriverInfo report = {};
            const int32_t status = host.Call(QIV_CMD_GET_DRIVER_INFO, &report);
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
