// SIGINT, SIGTERM and SIGHUP stop the run between two report lines; SIGPIPE and SIGXFSZ become
// failed writes, so that one output failing leaves the other whole.
#pragma once

#include <signal.h>

#include <csignal>

void take_signals();

// The signal that asked the run to stop, or 0.
int stop_signal();

// Blocked around a wait but while it waits.
const sigset_t &stop_signals();

// For a wait that must see it change.
const volatile std::sig_atomic_t *stop_flag();

// Ends the process by the signal that stopped the run, as the caller expects.
void end_as_signalled();
