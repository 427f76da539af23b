// The outputs of the run: standard output and the log.
#pragma once

#include "failure.hpp"
#include "report.hpp"

#include <array>
#include <climits>
#include <cstddef>
#include <string_view>

// An output of the run, written through its descriptor, and its first failure, met by the open,
// a write or the close. An output that failed takes no more writes, nor one that a stop cut off
// (a write or its emptying that took nothing), so that it ends on a whole text.
//
// Texts are held until their EOL sends them, with whatever was held before, in one write; report
// lines go out each in one write(2).
class OutputFile {
  public:
    // name stands in the diagnostics; nullptr stands for standard output, which is already open.
    explicit OutputFile(const char *name);
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

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
