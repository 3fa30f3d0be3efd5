// Frames for the simulator's tests, sealed with a block check computed here,
// apart from the simulator's own.
#pragma once

#include <stdio.h>

#include <string>

inline std::string TestBcc(const std::string &text) {
    unsigned check = 0;
    for (const char c : text)
        check ^= static_cast<unsigned char>(c);
    char digits[3];
    snprintf(digits, sizeof digits, "%02X", check & 0xFFu);
    return digits;
}

// "%" (or "<" for an extended frame) station "#" command, its block check
// and a carriage return.
inline std::string Request(const std::string &station, const std::string &command,
                           char header = '%') {
    const std::string body = header + station + "#" + command;
    return body + TestBcc(body) + "\r";
}

inline std::string Answer(const std::string &station, const std::string &echoAndData,
                          char header = '%') {
    const std::string body = header + station + "$" + echoAndData;
    return body + TestBcc(body) + "\r";
}

inline std::string Refusal(const std::string &station, const std::string &code, char header = '%') {
    const std::string body = header + station + "!" + code;
    return body + TestBcc(body) + "\r";
}
