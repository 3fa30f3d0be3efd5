// Loads the built driver with dlopen and calls QivMain through dlsym, the way
// a host application does, and checks where the driver's messages go:
//   host-log  this program carries the host's kelpra_err (it links the
//             stand-in library), so every message reaches it with category 32;
//   stderr    built without it, so the driver writes its messages to stderr.
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "qivma.h"
#ifdef QIVMA_TEST_WITH_HOST_LOG
#include "host/kelpra.h"
#endif

namespace {

int g_failures = 0;

void Expect(bool condition, const char *what) {
    if (!condition) {
        fprintf(stderr, "FAILED: %s\n", what);
        ++g_failures;
    }
}

struct Message {
    int32_t category;
    std::string format;
};
std::vector<Message> g_messages;

[[maybe_unused]] void Capture(void *, int32_t category, const char *format, const char *) {
    g_messages.push_back({category, format});
}

int32_t ParseInvalidAddress(QivMainFunction qivMain) {
    TagDefinition tag = {};
    tag.addressText = "01Z0010";  // Z is no device letter: one message
    DriverRequest request = {};
    request.command = QIV_CMD_PARSE_TAG;
    request.params = &tag;
    return qivMain(&request);
}

// Runs `action` with stderr sent to a temporary file and returns what it wrote.
template <typename Action>
std::string CaptureStderr(Action action) {
    fflush(stderr);
    FILE *sink = tmpfile();
    const int saved = dup(fileno(stderr));
    dup2(fileno(sink), fileno(stderr));
    action();
    fflush(stderr);
    dup2(saved, fileno(stderr));
    close(saved);
    std::string text;
    rewind(sink);
    char buffer[256];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, sink)) > 0) {
        text.append(buffer, n);
    }
    fclose(sink);
    return text;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s LIBRARY host-log|stderr\n", argv[0]);
        return 2;
    }
    const std::string mode = argv[2];
    void *library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        fprintf(stderr, "FAILED: dlopen: %s\n", dlerror());
        return 1;
    }
    QivMainFunction qivMain = reinterpret_cast<QivMainFunction>(dlsym(library, "QivMain"));
    if (qivMain == nullptr) {
        fprintf(stderr, "FAILED: QivMain not exported\n");
        return 1;
    }

    DriverInfo info = {};
    DriverRequest request = {};
    request.command = QIV_CMD_GET_DRIVER_INFO;
    request.params = &info;
    Expect(qivMain(&request) == QIV_STATUS_OK, "GetDriverInfo returns 0");
    Expect(info.version == 70, "version 70");
    Expect(info.instanceSize == static_cast<int32_t>(sizeof(DriverInstance)), "instance size");
    Expect(info.driverName != nullptr && strcmp(info.driverName, "Matsushita") == 0, "name");

    if (mode == "host-log") {
#ifdef QIVMA_TEST_WITH_HOST_LOG
        kelpra_set_echo(0);
        kelpra_set_sink(Capture, nullptr);
        const std::string printed = CaptureStderr(
            [&] { Expect(ParseInvalidAddress(qivMain) == QIV_STATUS_REFUSED, "01Z0010 refused"); });
        Expect(g_messages.size() == 1, "one message reaches the host");
        Expect(!g_messages.empty() && g_messages[0].category == 32, "category 32");
        Expect(!g_messages.empty() && g_messages[0].format == "MA: invalid chars in address\n",
               "the format reaches the host unchanged");
        Expect(printed.empty(), "nothing printed by the driver itself");
#else
        Expect(false, "built without the host library");
#endif
    } else if (mode == "stderr") {
        const std::string printed = CaptureStderr(
            [&] { Expect(ParseInvalidAddress(qivMain) == QIV_STATUS_REFUSED, "01Z0010 refused"); });
        Expect(printed == "MA: invalid chars in address\n", "the message goes to stderr");
    } else {
        fprintf(stderr, "unknown mode %s\n", mode.c_str());
        return 2;
    }
    dlclose(library);
    if (g_failures == 0) {
        printf("%s: driver loaded, %s logging as expected\n", argv[0], mode.c_str());
    }
    return g_failures == 0 ? 0 : 1;
}
