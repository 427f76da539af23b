// The comparison run: the files it reads and writes, the order of its texts, and its failures.
#pragma once

#include "report.hpp"

#include <sys/uio.h>

#include <array>
#include <span>
#include <streambuf>
#include <string_view>

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

// Writes every piece to fd, whatever the descriptor answers: a write cut short is carried on,
// EINTR retried, EAGAIN (a full non-blocking pipe or terminal) waited out with poll. One piece
// goes out with write(2), several with writev(2). Returns 0 or the errno of the failure; EINTR
// when a stop was asked for while a write took nothing, as an output that takes nothing must not
// hold up a stop.
int write_whole(int fd, std::span<iovec> pieces);

// An output of the run, written through its descriptor, and its first failure, met by the open,
// a write or the close. An output that failed takes no more writes.
//
// Streams written through it buffer their texts until their EOL flushes them; report lines
// bypass that buffer, each in one write(2).
class RunFile final : public std::streambuf {
  public:
    // name stands in the diagnostics; nullptr stands for standard output, which is already open.
    explicit RunFile(const char *name);
    ~RunFile() override;
    RunFile(const RunFile &) = delete;
    RunFile &operator=(const RunFile &) = delete;

    // Opens the file, creating it if need be, but empties nothing yet: that waits until the guard
    // has looked at what was opened. An open that a stop signal interrupts is no failure.
    void open_without_emptying();
    // What was there before the run (the guard's business) goes; the run writes from the start.
    void empty();
    // A refused run leaves no log behind that it made itself.
    void remove_if_created();
    int descriptor() const { return fd_; }
    bool existed() const { return !created_; }
    // Flushes the stream's text and, for a file the run opened, closes it.
    void close();

    // Writes one composed line at once, after any text the stream still holds.
    void write_line(std::string_view line);
    // False once the file failed, and for /dev/null, where composing lines would be wasted.
    bool takes_lines() const { return !failure_.happened() && !discards_; }
    bool intact() const { return !failure_.happened(); }

  protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char *text, std::streamsize size) override;
    int sync() override;

  private:
    bool flush_pending();
    bool write_all(const char *text, std::size_t size);

    const char *name_; // nullptr for standard output
    int fd_ = -1;
    bool owned_ = false;
    bool created_ = false;
    bool discards_ = false;
    Failure failure_;
    std::array<char, 4096> pending_{};
};

// Lets std::cout write through a file of the run for as long as it lives.
class StreamBinding {
  public:
    StreamBinding(std::ostream &stream, std::streambuf &buffer);
    ~StreamBinding();
    StreamBinding(const StreamBinding &) = delete;
    StreamBinding &operator=(const StreamBinding &) = delete;

  private:
    std::ostream &stream_;
    std::streambuf *previous_;
};

// SIGINT, SIGTERM and SIGHUP end the run between two report lines; SIGPIPE and SIGXFSZ become
// failed writes. Set up once, before the run.
void take_signals();
// When a signal stopped the run, ends the process by that signal, as the caller expects.
void end_as_signalled();

// The whole run over the named files, after the announcement on console. Returns the exit status:
// 0 when every file did its part, 2 when one failed or a file was refused; each such failure
// has its line on standard error.
int run_comparison(const char *file1, const char *file2, const char *logfile, Mode mode,
                   RunFile &console);
