#include "tools/hostkit/tcp_line.h"

#include <ctype.h>

#include "wire/wire_rules.h"

namespace {

constexpr char kScheme[] = "tcp://";
constexpr size_t kSchemeLength = sizeof kScheme - 1;

}  // namespace

bool IsTcpPort(const std::string &port) {
    return port.compare(0, kSchemeLength, kScheme) == 0;
}

bool SplitTcpPort(const std::string &port, std::string *host, std::string *service,
                  std::string *error) {
    const std::string rest = port.substr(kSchemeLength);
    const size_t colon = rest.rfind(':');
    const bool bracketed = !rest.empty() && rest[0] == '[';
    const size_t close = bracketed ? rest.find(']') : std::string::npos;
    if (colon == std::string::npos || colon == 0 || (bracketed && close + 1 != colon)) {
        *error = port + " names no port: write tcp://HOST:PORT, e.g. tcp://192.168.1.20:4001";
        return false;
    }
    *host = bracketed ? rest.substr(1, close - 1) : rest.substr(0, colon);
    *service = rest.substr(colon + 1);
    bool digits = !service->empty() && service->size() <= 5;
    for (const char c : *service)
        digits = digits && isdigit(static_cast<unsigned char>(c));
    if (host->empty() || !digits || std::stoul(*service) == 0 || std::stoul(*service) > 65535) {
        *error = port + ": the port after the host is a number from 1 to 65535 (tcp://HOST:PORT)";
        return false;
    }
    return true;
}

int TcpConnectBoundMs(int timeoutMs) {
    return wire::kAttempts * timeoutMs;
}
