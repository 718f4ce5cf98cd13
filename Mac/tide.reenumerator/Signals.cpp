#include "Signals.h"

#include "Log.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

namespace {

sigset_t ExitSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    return signals;
}

} // namespace

void SignalHandler(int signal)
{
    if (signal != SIGTERM && signal != SIGINT) {
        return;
    }
    TIDE_LOG(Log::Info, "%s - exiting", "void SignalHandler(int)");
    std::fflush(nullptr);
    _exit(0);
}

void InstallSignalHandling()
{
    const sigset_t signals = ExitSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    // A shell starts background jobs with SIGINT ignored; an ignored signal never reaches sigwait.
    struct sigaction deliver = {};
    deliver.sa_handler = SIG_DFL;
    sigaction(SIGTERM, &deliver, nullptr);
    sigaction(SIGINT, &deliver, nullptr);
    std::thread([signals] {
        for (;;) {
            int signal = 0;
            if (sigwait(&signals, &signal) == 0) {
                SignalHandler(signal);
            }
        }
    }).detach();
}
