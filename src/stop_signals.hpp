// The signals of the run: SIGINT, SIGTERM and SIGHUP ask it to stop between two report lines;
// SIGPIPE and SIGXFSZ become failed writes, so that one output failing leaves the other whole.
#pragma once

#include <signal.h>

#include <csignal>

// Set up once, before the run.
void take_signals();

// The signal that asked the run to stop, or 0.
int stop_signal();

// The signals that may ask it to stop: blocked around a wait, so that none slips in between the
// look at stop_signal() and the wait.
const sigset_t &stop_signals();

// The flag that the handler sets, for a reader that must see it change during a wait.
const volatile std::sig_atomic_t *stop_flag();

// When a signal stopped the run, ends the process by that signal, as the caller expects.
void end_as_signalled();
