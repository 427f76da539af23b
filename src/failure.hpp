// The failures of the run: how the first failure of each file, input or output, is noted and told
// on standard error, and the one way the run writes anything whole.
#pragma once

#include "report.hpp"

#include <sys/uio.h>

#include <span>

// Writes every piece to fd, whatever the descriptor answers: a write cut short is carried on,
// EINTR retried, EAGAIN (a full non-blocking pipe or terminal) waited out with poll. One piece
// goes out with write(2), several with writev(2). Returns 0 or the errno of the failure; EINTR
// when a stop was asked for while a write took nothing, as an output that takes nothing must not
// hold up a stop.
int write_whole(int fd, std::span<iovec> pieces);

// Writes a diagnostic in one system call and without allocating, so that it stays whole beside
// other writers and works when memory has run out. If that fails, there is nowhere to say so.
void print_diagnostic(const Text &diagnostic);

// Where diagnostics go from now on: standard error, unless an input reads it; -1 for nowhere.
void send_diagnostics_to(int fd);

// The first failure of one file of the run: noted and told by the call that meets it, and only
// once, since what fails later is the same file failing again. The run goes on to its end for the
// other files.
class Failure {
  public:
    // name stands in the diagnostic; nullptr stands for standard output.
    explicit Failure(const char *name) : name_(name) {}
    void record(int errnum);
    // A regular input that is no longer what it was when it was opened.
    void record_change();
    bool happened() const { return errnum_ != 0; }

  private:
    const char *name_;
    int errnum_ = 0;
};
