// Reading the two inputs: regular files in place through mapped windows, everything else through
// reads of whatever has arrived, and a file that changes under the run found out.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <csignal>
#include <cstddef>
#include <ctime>
#include <limits>
#include <span>

// Each input that is read, rather than mapped, reads into a block of this size. On page-cached
// files 64 to 256 KiB requests measured alike; 16 KiB ones cost more system calls, and with 1 MiB
// ones the two blocks no longer stay in the core's cache while they are compared.
inline constexpr std::size_t block_size = std::size_t{256} * 1024;

// A regular file is compared through windows of this size, mapped from the page cache and
// unmapped as the run moves on: nothing is copied, and memory stays constant.
inline constexpr std::size_t window_size = std::size_t{2} * 1024 * 1024;

// How the run asks the reading to stop: a flag that a handler of these signals sets. A wait for
// input lets them in only while it waits, so that none can slip in between the look at the flag
// and the wait.
struct StopRequest {
    const volatile std::sig_atomic_t *requested;
    sigset_t signals;
};

// One input of the run. Its first failure is noted, and reported on standard error, by the call
// that meets it; an input that failed delivers nothing more.
class Input {
  public:
    // slot (0 or 1) tells the input's mapped window apart from the other's; block is its room for
    // bytes that are read.
    Input(const char *name, int slot, std::span<char> block);
    ~Input();
    Input(const Input &) = delete;
    Input &operator=(const Input &) = delete;

    // Opens the file without waiting: a FIFO's writer may be waiting for the other input's open.
    void open();
    // Ends the reading. A regular file whose size or modification time is no longer what it was
    // when it was opened, or that was cut short under a mapped window, is reported as changed.
    void close();

    int descriptor() const { return fd_; }
    bool intact() const { return failure_ == 0; }

    std::span<const char> pending() const { return {begin_, end_}; }
    bool ended() const { return ended_; }
    void consume(std::size_t size) { begin_ += size; }
    // How many pending bytes are the file's: fewer once a mapped window was found cut short.
    // Asked for every reported pair, so kept inline.
    std::size_t trustworthy() const {
        const std::size_t cut = cut_ == nullptr ? whole : cut_->load(std::memory_order_relaxed);
        return cut == whole ? whole
                            : cut - std::min(cut, static_cast<std::size_t>(begin_ - window_));
    }

    bool needs_bytes() const { return begin_ == end_ && !ended_; }
    // A pipe, FIFO, socket, terminal or character device: read only when poll says so.
    bool arrives() const { return kind_ == Kind::arriving; }
    bool has_room() const;
    // Delivers more: the next window of a mapped file, or what one read gives.
    void read_more();

    // What trustworthy() says while nothing was cut.
    static constexpr std::size_t whole = std::numeric_limits<std::size_t>::max();

  private:
    enum class Kind { unopened, mapped, read, arriving };

    void map_next_window();
    void unmap();
    void fail(int errnum);
    void report_cut();

    const char *name_;
    int slot_;
    std::span<char> block_;
    int fd_ = -1;
    Kind kind_ = Kind::unopened;
    bool ended_ = false;
    int failure_ = 0;
    const char *begin_ = nullptr;
    const char *end_ = nullptr;
    // A regular file as it was when opened.
    bool regular_ = false;
    off_t size_ = 0;
    timespec modified_{};
    // The mapped window, and where it starts in the file.
    const char *window_ = nullptr;
    const std::atomic<std::size_t> *cut_ = nullptr; // where a fault in the window is noted
    std::size_t window_length_ = 0;
    off_t window_offset_ = 0;
};

// The two inputs as the comparison sees them (see compare_inputs).
class InputPair {
  public:
    InputPair(Input &first, Input &second, StopRequest stop);
    // Waits until each input has bytes pending or has ended, reading whatever has arrived
    // meanwhile, so that one writer feeding both inputs is never left waiting on the other.
    bool fill();
    std::span<const char> pending(int k) const { return inputs_[k]->pending(); }
    bool ended(int k) const { return inputs_[k]->ended(); }
    void consume(std::size_t size) {
        inputs_[0]->consume(size);
        inputs_[1]->consume(size);
    }
    std::size_t intact(int k) const { return inputs_[k]->trustworthy(); }

  private:
    bool read_what_arrived();

    std::array<Input *, 2> inputs_;
    StopRequest stop_;
};

// Mapped windows can fault when their file is cut short or cannot be read; this keeps the process
// alive and lets the run find out. Installed once, before any input is opened.
void survive_cut_windows();
