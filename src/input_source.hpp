// One input of the run, whatever its kind: the bytes it has delivered and not yet compared, and
// its first failure. Each kind delivers in its own way (mapped_input, read_input,
// arriving_input); an input that could not be opened is a plain Source that has ended.
#pragma once

#include "failure.hpp"

#include <sys/stat.h>

#include <cstddef>
#include <span>

// A regular file is compared through mapped windows of this size: nothing is copied, and memory
// stays constant.
inline constexpr std::size_t window_size = std::size_t{2} * 1024 * 1024;

// An input that is read rather than mapped reads into a block of this size: large enough to
// spare system calls, small enough for both blocks to stay in the CPU's cache.
inline constexpr std::size_t block_size = std::size_t{256} * 1024;

class Source {
  public:
    // fd (owned; -1 for an input that could not be opened) and its status when it was opened.
    Source(const char *name, int fd, const struct stat &opened);
    // Not virtual: each input is destroyed as the kind it is (see Input).
    ~Source();
    Source(const Source &) = delete;
    Source &operator=(const Source &) = delete;

    std::span<const char> pending() const { return {begin_, end_}; }
    bool ended() const { return ended_; }
    void consume(std::size_t size) { begin_ += size; }
    bool needs_bytes() const { return begin_ == end_ && !ended_; }
    // How many of the first upto pending bytes lie before a cut: fewer than upto once the file
    // was found cut short under them.
    virtual std::size_t before_cut(std::size_t upto) { return upto; }

    // Delivers more: the next window of a mapped file, or what one read gives.
    virtual void deliver() { ended_ = true; }
    // Read only when poll says it has something, never in a wait of its own.
    virtual bool read_when_ready() const { return false; }
    virtual bool has_room() const { return begin_ == end_; }

    // Ends the reading; a regular file that may have changed since its open is reported.
    virtual void close();
    int descriptor() const { return fd_; }
    const struct stat &status() const { return opened_; }
    bool intact() const { return !failure_.happened(); }
    // Records the first failure and delivers nothing more.
    void fail(int errnum);

  protected:
    const char *name_;
    int fd_;
    struct stat opened_;
    bool ended_ = false;
    Failure failure_;
    const char *begin_ = nullptr;
    const char *end_ = nullptr;
};
