// One input, whatever its kind: its bytes delivered and not yet compared, and its first failure.
// An input that could not be opened is a plain Source that has ended.
#pragma once

#include "outputs/failure.hpp"

#include <sys/stat.h>

#include <cstddef>
#include <span>

// A regular file is compared through mapped windows of this size.
inline constexpr std::size_t window_size = std::size_t{2} * 1024 * 1024;

// The system's page size, from sysconf.
std::size_t page_size();

// Large enough to spare system calls, small enough for both blocks to stay in the CPU's cache.
inline constexpr std::size_t block_size = std::size_t{256} * 1024;

class Source {
  public:
    // fd is owned; -1 for an input that could not be opened.
    Source(const char *name, int fd, const struct stat &opened);
    // Not virtual: each input is destroyed as the kind it is (see Input).
    ~Source();
    Source(const Source &) = delete;
    Source &operator=(const Source &) = delete;

    std::span<const char> pending() const { return {begin_, end_}; }
    bool ended() const { return ended_; }
    void consume(std::size_t size) { begin_ += size; }
    bool needs_bytes() const { return begin_ == end_ && !ended_; }
    // How many of the first upto pending bytes lie before a cut.
    virtual std::size_t before_cut(std::size_t upto) { return upto; }

    virtual void deliver() { ended_ = true; }
    // Read only when poll says so, never in a wait of its own.
    virtual bool read_when_ready() const { return false; }
    virtual bool has_space() const { return begin_ == end_; }

    // Reports a regular file that changed since its open.
    virtual void close();
    int descriptor() const { return fd_; }
    const struct stat &status() const { return opened_; }
    bool intact() const { return !failure_.happened(); }
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
