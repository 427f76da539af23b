// The outputs of the run (standard output and the log), standard error's diagnostics, and the
// failure model that every file of the run, input or output, shares.
#pragma once

#include "report.hpp"

#include <sys/uio.h>

#include <array>
#include <climits>
#include <cstddef>
#include <span>
#include <string_view>

// Writes every piece to fd, whatever the descriptor answers: a write cut short is carried on,
// EINTR retried, EAGAIN (a full non-blocking pipe or terminal) waited out with poll. One piece
// goes out with write(2), several with writev(2). Returns 0 or the errno of the failure; EINTR
// when a stop was asked for while a write took nothing, as an output that takes nothing must not
// hold up a stop.
int write_whole(int fd, std::span<iovec> pieces);

// Writes a diagnostic to standard error in one system call, without allocating, so that it stays
// whole beside other writers and works when memory has run out. If it fails, there is nowhere to
// say so.
void say(const Text &diagnostic);

// Where say() writes from now on: standard error unless it is an input; -1 for nowhere.
void send_diagnostics_to(int fd);

// The first failure of one file of the run, an input or an output: noted, and reported on
// standard error, by the call that meets it, and only once, since what fails later is the same
// file failing again. The run goes on to its end for the other files.
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

// An output of the run, written through its descriptor, and its first failure, met by the open,
// a write or the close. An output that failed takes no more writes, nor one that a stop cut off
// (a write or its emptying that took nothing), so that it ends on a whole text.
//
// Texts are held until their EOL sends them, with whatever was held before, in one write; report
// lines go out each in one write(2).
class RunFile {
  public:
    // name stands in the diagnostics; nullptr stands for standard output, which is already open.
    explicit RunFile(const char *name);
    ~RunFile();
    RunFile(const RunFile &) = delete;
    RunFile &operator=(const RunFile &) = delete;

    // Opens the file, creating it if need be (readable by all, less the umask), but empties
    // nothing yet: that waits until the guard has looked at what was opened. A file made here,
    // even where a chain of dangling symbolic links led, is known as the run's own. An open that a
    // stop signal interrupts is no failure.
    void open_without_emptying();
    // What was there before the run (the guard's business) goes; the run writes from the start.
    void empty();
    // A refused or stopped run leaves no log behind that it made itself.
    void remove_if_created();
    int descriptor() const { return fd_; }
    bool existed() const { return !created_; }

    void write(const Text &text);
    // Writes one composed line at once, after any text still held.
    void write_line(std::string_view line);
    // Sends what is held; false once the file failed.
    bool flush();
    // Sends what is held and, for a file the run opened, closes it.
    void close();

    // False once the file failed, and for /dev/null, where composing lines would be wasted.
    bool takes_lines() const { return !failure_.happened() && !discards_; }
    bool intact() const { return !failure_.happened(); }

  private:
    void hold(std::string_view bytes);
    bool write_all(const char *bytes, std::size_t size);

    const char *name_; // nullptr for standard output
    int fd_ = -1;
    bool owned_ = false;
    bool created_ = false;
    bool discards_ = false;
    bool stopped_ = false;
    std::array<char, PATH_MAX> made_{}; // the path of a log this run made
    Failure failure_;
    std::array<char, 4096> held_{};
    std::size_t held_size_ = 0;
};
