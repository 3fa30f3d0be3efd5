#include "tools/gateway/log.h"

#include <stdio.h>

#include <atomic>

namespace gateway {

namespace {

std::atomic<bool> g_verbose{false};

}  // namespace

void Log(const std::string &line) {
    // One call per line, so that lines of different threads never mix.
    fprintf(stderr, "qivma-gateway: %s\n", line.c_str());
}

void SetVerbose(bool verbose) {
    g_verbose = verbose;
}

bool Verbose() {
    return g_verbose;
}

}  // namespace gateway
