// The failures of the run, reported on standard error, and the one function every write goes
// through.
#pragma once

#include "texts/report.hpp"

#include <sys/uio.h>

#include <span>

// Writes every piece, whatever fd answers: short writes carried on, EINTR retried, EAGAIN waited
// out with poll. 0 or the errno; EINTR where a stop came while a write took nothing, as an output
// that takes nothing must not hold up a stop.
int write_pieces(int fd, std::span<iovec> pieces);

// In one system call, without allocating: whole beside other writers, and when memory ran out.
void print_diagnostic(const Text &diagnostic);

// Standard error, unless an input reads it; -1 for nowhere.
void send_diagnostics_to(int fd);

// The first failure of one file, reported once: what fails later is the same file failing again.
class Failure {
  public:
    // nullptr stands for standard output.
    explicit Failure(const char *name) : name_(name) {}
    void record(int errnum);
    void record_change();
    bool happened() const { return errnum_ != 0; }

  private:
    const char *name_;
    int errnum_ = 0;
};
