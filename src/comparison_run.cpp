#include "comparison_run.hpp"

#include "block_compare.hpp"
#include "file_guard.hpp"
#include "input_pair.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

namespace {

// Writes to /dev/null need not be composed at all.
bool discards_everything(int fd) {
    struct stat file {};
    struct stat null {};
    return fstat(fd, &file) == 0 && S_ISCHR(file.st_mode) && stat("/dev/null", &null) == 0 &&
           file.st_rdev == null.st_rdev;
}

// Memory claimed straight from malloc, which answers a shortage with nullptr: operator new, even
// its nothrow form, throws inside, and throwing can itself need the memory that is missing.
struct FreeMemory {
    void operator()(void *memory) const { std::free(memory); }
};
template <typename T> using Claimed = std::unique_ptr<T, FreeMemory>;

// Both blocks start on a page boundary. Into a buffer 16 bytes past one, the kernel's copy out of
// the page cache measured 1.44 to about 5 times slower on AMD EPYC hosts, and no slower on an
// Intel Xeon; malloc gives 16-byte alignment only. Both arrays are left uninitialised.
struct Blocks {
    static constexpr std::size_t page = 4096;
    alignas(page) std::array<char, block_size> first;
    alignas(page) std::array<char, block_size> second;
};

// Everything the run needs, claimed before the log is opened, and so emptied: when memory is
// short, the run ends before that and an existing log is left as it was.
struct RunMemory {
    explicit RunMemory(std::string_view logfile)
        : blocks(static_cast<Blocks *>(std::aligned_alloc(Blocks::page, sizeof(Blocks)))),
          line_room(PairLines::room_needed(logfile)),
          lines(static_cast<char *>(std::malloc(line_room))) {}
    bool claimed() const { return blocks && lines; }

    Claimed<Blocks> blocks;
    std::size_t line_room;
    Claimed<char[]> lines;
};

// The signal that asked the run to stop, and the signals that may.
volatile std::sig_atomic_t stop_signal = 0;
sigset_t stop_signals;

void on_stop(int signal) { stop_signal = signal; }

// Writes to a non-blocking output that is full for now wait until it takes more.
[[gnu::cold]] void wait_until_writable(int fd) {
    pollfd ready{fd, POLLOUT, 0};
    poll(&ready, 1, -1);
}

void write_verdict(std::ostream &console, std::ostream &log, Shorter shorter, const char *file1,
                   const char *file2) {
    if (shorter == Shorter::neither) {
        return;
    }
    const char *shorter_file = shorter == Shorter::first ? file1 : file2;
    const char *other_file = shorter == Shorter::first ? file2 : file1;
    write_console_verdict(console, shorter_file, other_file);
    write_log_verdict(log, shorter_file, other_file);
}

} // namespace

RunFile::RunFile(const char *name) : name_(name), failure_(name) {
    if (name_ == nullptr) {
        fd_ = STDOUT_FILENO;
        discards_ = discards_everything(fd_);
    }
    setp(pending_.data(), pending_.data() + pending_.size());
}

RunFile::~RunFile() {
    if (owned_) {
        ::close(fd_);
    }
}

void RunFile::open_without_emptying() {
    constexpr mode_t readable_by_all = 0666; // less the umask, as any new file
    constexpr int flags = O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC;
    do {
        // Exclusive first, so that the run knows the file is its own to remove if refused.
        fd_ = ::open(name_, flags | O_EXCL, readable_by_all);
        created_ = fd_ >= 0;
        if (fd_ < 0 && errno == EEXIST) {
            fd_ = ::open(name_, flags, readable_by_all);
        }
    } while (fd_ < 0 && errno == EINTR && stop_signal == 0);
    owned_ = fd_ >= 0;
    if (owned_) {
        discards_ = discards_everything(fd_);
    } else if (errno != EINTR) {
        failure_.record(errno);
    }
}

void RunFile::empty() {
    // ftruncate refuses (EINVAL) what cannot be emptied: a terminal, a pipe, a device.
    if (owned_ && !created_ && ftruncate(fd_, 0) != 0 && errno != EINVAL) {
        failure_.record(errno);
    }
}

void RunFile::remove_if_created() {
    struct stat opened {};
    struct stat named {};
    // Only while the name still leads to the file this run made.
    if (created_ && fstat(fd_, &opened) == 0 && stat(name_, &named) == 0 &&
        opened.st_dev == named.st_dev && opened.st_ino == named.st_ino) {
        unlink(name_);
    }
}

void RunFile::close() {
    flush_pending();
    // Linux releases the descriptor even when close reports EINTR; the data is not lost then.
    if (owned_ && ::close(fd_) != 0 && errno != EINTR) {
        failure_.record(errno);
    }
    owned_ = false;
    fd_ = -1;
}

void RunFile::write_line(std::string_view line) {
    if (flush_pending()) {
        write_all(line.data(), line.size());
    }
}

RunFile::int_type RunFile::overflow(int_type c) {
    if (!flush_pending()) {
        return traits_type::eof();
    }
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
    }
    return traits_type::not_eof(c);
}

std::streamsize RunFile::xsputn(const char *text, std::streamsize size) {
    const auto count = static_cast<std::size_t>(size);
    if (count > static_cast<std::size_t>(epptr() - pptr())) {
        if (!flush_pending()) {
            return 0;
        }
        if (count >= pending_.size()) { // too long to hold: goes out at once, after what was held
            return write_all(text, count) ? size : 0;
        }
    }
    std::memcpy(pptr(), text, count);
    pbump(static_cast<int>(size));
    return size;
}

int RunFile::sync() { return flush_pending() ? 0 : -1; }

// Text that a failed file still holds is dropped: nothing more reaches it.
bool RunFile::flush_pending() {
    const auto size = static_cast<std::size_t>(pptr() - pbase());
    setp(pending_.data(), pending_.data() + pending_.size());
    return !failure_.happened() && (size == 0 || write_all(pending_.data(), size));
}

bool RunFile::write_all(const char *text, std::size_t size) {
    if (failure_.happened()) {
        return false; // a file that failed takes nothing more, even should it recover
    }
    iovec piece{const_cast<char *>(text), size};
    const int errnum = write_whole(fd_, {&piece, 1});
    if (errnum != 0 && errnum != EINTR) {
        failure_.record(errnum);
    }
    return errnum == 0;
}

void Failure::record(int errnum) {
    if (errnum_ != 0) {
        return;
    }
    errnum_ = errnum;
    if (name_ == nullptr) {
        write_console_failure(errnum);
    } else {
        write_failure(name_, errnum);
    }
}

void Failure::record_change() {
    if (errnum_ == 0) {
        errnum_ = EIO;
        write_changed_file(name_);
    }
}

int write_whole(int fd, std::span<iovec> pieces) {
    for (;;) {
        while (!pieces.empty() && pieces[0].iov_len == 0) {
            pieces = pieces.subspan(1);
        }
        if (pieces.empty()) {
            return 0;
        }
        const ssize_t count = pieces.size() == 1
                                  ? ::write(fd, pieces[0].iov_base, pieces[0].iov_len)
                                  : ::writev(fd, pieces.data(), static_cast<int>(pieces.size()));
        if (count < 0 && errno == EAGAIN) {
            wait_until_writable(fd);
        } else if (count < 0 && (errno != EINTR || stop_signal != 0)) {
            return errno;
        } else if (count == 0) {
            return EIO; // nothing taken, and no reason given
        }
        for (auto left = static_cast<std::size_t>(std::max(count, ssize_t{0})); left > 0;) {
            const std::size_t taken = std::min(left, pieces[0].iov_len);
            pieces[0].iov_base = static_cast<char *>(pieces[0].iov_base) + taken;
            pieces[0].iov_len -= taken;
            left -= taken;
            pieces = pieces[0].iov_len == 0 ? pieces.subspan(1) : pieces;
        }
    }
}

StreamBinding::StreamBinding(std::ostream &stream, std::streambuf &buffer)
    : stream_(stream), previous_(stream.rdbuf(&buffer)) {}

StreamBinding::~StreamBinding() { stream_.rdbuf(previous_); }

void take_signals() {
    // A reader that goes away, or a file-size limit, shows up as a failed write to that output,
    // so the other one can still be finished.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    survive_cut_windows();
    sigemptyset(&stop_signals);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction action {};
        sigaction(signal, nullptr, &action);
        if (action.sa_handler == SIG_IGN) { // as nohup and background jobs leave them
            continue;
        }
        action.sa_handler = on_stop;
        // Blocking calls return, so that a wait for input ends; a second signal of the same kind
        // ends the process at once, should an output never take the line being written.
        action.sa_flags = SA_RESETHAND;
        sigemptyset(&action.sa_mask);
        sigaction(signal, &action, nullptr);
        sigaddset(&stop_signals, signal);
    }
}

void end_as_signalled() {
    if (stop_signal != 0) {
        std::signal(stop_signal, SIG_DFL);
        std::raise(stop_signal);
    }
}

int run_comparison(const char *file1, const char *file2, const char *logfile, Mode mode,
                   RunFile &console) {
    if (log_name_is_block_device(logfile)) {
        return 2;
    }
    const RunMemory memory(logfile);
    if (!memory.claimed()) {
        write_memory_failure();
        return 2;
    }
    PairLines lines(mode, logfile, {memory.lines.get(), memory.line_room});

    dateipos = 1;
    // The inputs are opened first: an input that is missing fails before the log's open can make
    // a file of its name.
    Input inputs1(file1, 0, memory.blocks->first);
    Input inputs2(file2, 1, memory.blocks->second);
    Source &datei1 = inputs1.source();
    Source &datei2 = inputs2.source();
    RunFile log(logfile);
    log.open_without_emptying();
    if (stop_signal != 0) {
        return 2;
    }
    if (refused({logfile,
                 log.descriptor(),
                 log.existed(),
                 {file1, file2},
                 {datei1.descriptor(), datei2.descriptor()}})) {
        log.remove_if_created();
        return 2;
    }
    log.empty();
    std::ostream logdatei(&log);
    write_log_banner(logdatei);
    write_log_heading(logdatei, file1, file2);
    const StopRequest stop{&stop_signal, stop_signals};
    // In mismatch mode what two regular files must hold alike is passed over; verbose mode
    // reports every pair, and so reads every byte.
    std::optional<DiskLayout> layout =
        mode == Mode::mismatch ? layout_of(inputs1, inputs2) : std::nullopt;
    InputPair inputs = layout ? InputPair(*inputs1.mapped(), *inputs2.mapped(), stop, *layout)
                              : InputPair(datei1, datei2, stop);
    const std::optional<Shorter> shorter = compare_inputs(inputs, mode, [&] {
        lines.set(zeichen1, zeichen2, dateipos);
        if (console.takes_lines()) {
            console.write_line(lines.console_line());
        }
        if (log.takes_lines()) {
            log.write_line(lines.log_line());
        }
        return stop_signal == 0; // the line is whole on both outputs; nothing more follows
    });
    if (shorter) {
        write_verdict(std::cout, logdatei, *shorter, file1, file2);
    }
    datei1.close();
    datei2.close();
    if (shorter) {
        write_trailer(logdatei);
    }
    log.close();
    console.pubsync();
    const bool complete = console.intact() && log.intact() && datei1.intact() && datei2.intact();
    return complete ? 0 : 2;
}
