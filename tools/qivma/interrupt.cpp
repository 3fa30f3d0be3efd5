#include "tools/qivma/interrupt.h"

#include <signal.h>

namespace {

volatile sig_atomic_t g_interrupted = 0;

void OnInterrupt(int) {
    g_interrupted = 1;
}

}  // namespace

void CatchInterrupts() {
    signal(SIGINT, OnInterrupt);
    signal(SIGTERM, OnInterrupt);
}

bool Interrupted() {
    return g_interrupted != 0;
}
