#include "platform/Signals.h"

#include <pthread.h>
#include <signal.h>

#include "platform/Thread.h"

namespace platform {

bool WatchTerminationSignals(std::function<void(int)> onSignal) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &set, &previous);
    const bool started = StartDetached([set, onSignal = std::move(onSignal)] {
        int signal = 0;
        while (sigwait(&set, &signal) != 0) {
        }
        onSignal(signal);
    });
    if (!started)
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return started;
}

}  // namespace platform
