#include "system/stop_signals.hpp"

#include <initializer_list>

namespace {

volatile std::sig_atomic_t requested = 0;
sigset_t signals;

void on_stop(int signal) { requested = signal; }

} // namespace

void take_signals() {
    // A reader that goes away, or a file-size limit, shows up as a failed write to that output,
    // so the other one can still be finished.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    // The guard holds a file's lease for an instant to ask whether another opened it; an open
    // meanwhile would send SIGIO, which ends a process by default.
    std::signal(SIGIO, SIG_IGN);
    sigemptyset(&signals);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction action {};
        sigaction(signal, nullptr, &action);
        if (action.sa_handler == SIG_IGN) { // as nohup and background jobs leave them
            continue;
        }
        action.sa_handler = on_stop;
        // Blocking calls return, so that a wait for input ends; a second signal of the same kind
        // ends the process at once, should an output never take the line being written.
        action.sa_flags = SA_RESETHAND;
        sigemptyset(&action.sa_mask);
        sigaction(signal, &action, nullptr);
        sigaddset(&signals, signal);
    }
}

int stop_signal() { return requested; }

const sigset_t &stop_signals() { return signals; }

const volatile std::sig_atomic_t *stop_flag() { return &requested; }

void end_as_signalled() {
    if (requested != 0) {
        std::signal(requested, SIG_DFL);
        std::raise(requested);
    }
}
