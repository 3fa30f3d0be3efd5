#include <pthread.h>
#include <signal.h>
#include <string.h>

#include "tools/fpsim/stop_request.h"

namespace fpsim {

namespace {

// SIGINT, SIGTERM and SIGHUP (a closed terminal or session) all stop fpsim.
sigset_t StopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    return signals;
}

}  // namespace

// Blocked before any thread starts, every thread leaves them to sigwait in
// AwaitStopRequest, so that the link is always withdrawn.
bool PrepareForStopRequests(std::string *error) {
    const sigset_t signals = StopSignals();
    const int failure = pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    if (failure != 0) {
        *error = std::string("pthread_sigmask: ") + strerror(failure);
        return false;
    }
    return true;
}

std::string AwaitStopRequest() {
    const sigset_t signals = StopSignals();
    int signal = 0;
    sigwait(&signals, &signal);
    return strsignal(signal);
}

void ConfirmStopped() {}

}  // namespace fpsim
