// A controller line reached over TCP: a serial device server in raw TCP
// server mode, or a controller's Ethernet unit. The driver opens its ports by
// a short name and knows serial lines only, so the connection is handed to it
// as a pseudo-terminal whose other end a thread of this object joins to the
// socket. To the driver it is then a line that brings bytes faster than its
// rate, which a TCP stream is; it keeps its own rules and no thread.
#pragma once

#include <memory>
#include <string>

// Whether `port` names a line on TCP: "tcp://HOST:PORT".
bool IsTcpPort(const std::string &port);

// HOST and PORT of "tcp://HOST:PORT" (an IPv6 address in brackets); false
// with what is wrong.
bool SplitTcpPort(const std::string &port, std::string *host, std::string *service,
                  std::string *error);

// The longest wait for a connection to be taken: the attempts that one
// operation makes, each bounded by the line's time-out. A device server that
// answers at all accepts within milliseconds; a dead address is reported as
// soon as a read on the line would have been, not after the system's minutes.
int TcpConnectBoundMs(int timeoutMs);

class TcpLine {
  public:
    TcpLine();
    ~TcpLine();  // closes
    TcpLine(const TcpLine &) = delete;
    TcpLine &operator=(const TcpLine &) = delete;

    // Connects to `port` ("tcp://HOST:PORT") within `connectMs` and opens the
    // pseudo-terminal that carries it; false with what to check.
    bool Open(const std::string &port, int connectMs, std::string *error);
    // The device that the driver opens, while open.
    std::string Device() const;
    // Why the connection ended ("the device server at HOST:PORT closed the
    // connection"); "" while it lasts. The driver sees its line hang up.
    std::string Broken() const;
    void Close();

  private:
    struct State;
    std::unique_ptr<State> state_;
};
