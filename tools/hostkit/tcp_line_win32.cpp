// The Windows tool reaches controllers through COM ports only: a device
// server is reached there through its maker's virtual COM port driver.
#include "tools/hostkit/tcp_line.h"

struct TcpLine::State {};

TcpLine::TcpLine() : state_(std::make_unique<State>()) {}

TcpLine::~TcpLine() = default;

bool TcpLine::Open(const std::string &port, int, std::string *error) {
    *error = port +
             ": lines on TCP are served by the Linux tool and gateway; on Windows give the COM "
             "port that the device server's virtual COM port driver makes";
    return false;
}

std::string TcpLine::Device() const {
    return "";
}

std::string TcpLine::Broken() const {
    return "";
}

void TcpLine::Close() {}
