#include "comparison_run.hpp"

#include "block_compare.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
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

bool same_file(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The directory entry that opening a name for writing would create: its directory and the name
// in it, past the symbolic links the name leads through.
struct Entry {
    dev_t device;
    ino_t directory;
    std::string name;
    bool operator==(const Entry &) const = default;
};

std::optional<Entry> entry_of(std::string path) {
    constexpr int most_links = 40; // where the kernel gives up with ELOOP
    for (int followed = 0; followed < most_links; ++followed) {
        std::array<char, PATH_MAX> target{};
        const ssize_t size = readlink(path.c_str(), target.data(), target.size());
        if (size <= 0) {
            break;
        }
        const std::string_view link(target.data(), static_cast<std::size_t>(size));
        const std::size_t slash = path.rfind('/');
        path = link.front() == '/' || slash == std::string::npos
                   ? std::string(link)
                   : path.substr(0, slash + 1).append(link);
    }
    const std::size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
    struct stat found {};
    if (name.empty() || name == "." || name == ".." || stat(directory.c_str(), &found) != 0) {
        return std::nullopt;
    }
    return Entry{found.st_dev, found.st_ino, std::move(name)};
}

// Whether opening the log would empty the input, or create the very file the input is then
// read from. Identity decides, whatever the kind of file; nothing is opened to find out, since
// opening a FIFO or a device can block or act. log is nullptr when the log does not exist.
bool log_is_input(const char *logfile, const struct stat *log, const char *input) {
    struct stat in {};
    const bool input_exists = stat(input, &in) == 0;
    if (log != nullptr || input_exists) {
        return log != nullptr && input_exists && same_file(*log, in);
    }
    const std::optional<Entry> log_entry = entry_of(logfile);
    return log_entry && log_entry == entry_of(input);
}

// Standard output on a file that the log also names: the log's open would empty what the console
// wrote, and the two would then overwrite each other. A terminal or a pipe is shared line by line.
bool log_is_console_file(const struct stat &log) {
    struct stat out {};
    return fstat(STDOUT_FILENO, &out) == 0 && (S_ISREG(out.st_mode) || S_ISBLK(out.st_mode)) &&
           same_file(log, out);
}

bool log_refused(const char *logfile, const char *file1, const char *file2) {
    struct stat log {};
    const struct stat *const existing = stat(logfile, &log) == 0 ? &log : nullptr;
    for (const char *input : {file1, file2}) {
        if (log_is_input(logfile, existing, input)) {
            write_log_refusal(logfile, input);
            return true;
        }
    }
    if (existing != nullptr && log_is_console_file(log)) {
        write_console_refusal(logfile);
        return true;
    }
    return false;
}

// Both blocks start on a page boundary. Into a buffer 16 bytes past one, the kernel's copy out of
// the page cache measured 1.44 to about 5 times slower on AMD EPYC hosts, and no slower on an
// Intel Xeon; malloc gives 16-byte alignment only. Both arrays are left uninitialised.
struct Blocks {
    static constexpr std::size_t page = 4096;
    alignas(page) std::array<char, block_size> first;
    alignas(page) std::array<char, block_size> second;
};

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

RunFile::RunFile(const char *name) : name_(name) {
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

void RunFile::open_for_reading() {
    fd_ = ::open(name_, O_RDONLY | O_CLOEXEC);
    owned_ = fd_ >= 0;
    if (!owned_) {
        fail(errno);
    }
}

void RunFile::open_for_writing() {
    constexpr mode_t readable_by_all = 0666; // less the umask, as any new file
    fd_ = ::open(name_, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, readable_by_all);
    owned_ = fd_ >= 0;
    if (owned_) {
        discards_ = discards_everything(fd_);
    } else {
        fail(errno);
    }
}

void RunFile::close() {
    flush_pending();
    // Linux releases the descriptor even when close reports EINTR; the data is not lost then.
    if (owned_ && ::close(fd_) != 0 && errno != EINTR) {
        fail(errno);
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

std::streamsize RunFile::xsgetn(char *into, std::streamsize size) {
    const auto wanted = static_cast<std::size_t>(size);
    std::size_t got = 0;
    while (fd_ >= 0 && failure_ == 0 && got < wanted) {
        const ssize_t count = ::read(fd_, into + got, wanted - got);
        if (count > 0) {
            got += static_cast<std::size_t>(count);
        } else if (count == 0) {
            break; // end of file
        } else if (errno != EINTR) {
            fail(errno);
        }
    }
    return static_cast<std::streamsize>(got);
}

// Text that a failed file still holds is dropped: nothing more reaches it.
bool RunFile::flush_pending() {
    const auto size = static_cast<std::size_t>(pptr() - pbase());
    setp(pending_.data(), pending_.data() + pending_.size());
    return failure_ == 0 && (size == 0 || write_all(pending_.data(), size));
}

bool RunFile::write_all(const char *text, std::size_t size) {
    while (size > 0 && failure_ == 0) {
        const ssize_t count = ::write(fd_, text, size);
        if (count > 0) {
            text += count;
            size -= static_cast<std::size_t>(count);
        } else if (count == 0 || errno != EINTR) {
            fail(count == 0 ? EIO : errno);
        }
    }
    return failure_ == 0;
}

void RunFile::fail(int errnum) {
    if (failure_ != 0) {
        return;
    }
    failure_ = errnum;
    if (name_ == nullptr) {
        write_console_failure(errnum);
    } else {
        write_failure(name_, errnum);
    }
}

StreamBinding::StreamBinding(std::ostream &stream, std::streambuf &buffer)
    : stream_(stream), previous_(stream.rdbuf(&buffer)) {}

StreamBinding::~StreamBinding() { stream_.rdbuf(previous_); }

int run_comparison(const char *file1, const char *file2, const char *logfile, Mode mode,
                   RunFile &console) {
    if (log_refused(logfile, file1, file2)) {
        return 2;
    }
    // Claimed before the log is opened, and so emptied: when memory is short, the run ends
    // here and an existing log is left as it was.
    PairLines lines(mode, logfile);
    const Claimed<Blocks> blocks(
        static_cast<Blocks *>(std::aligned_alloc(Blocks::page, sizeof(Blocks))));
    if (!lines.claimed() || !blocks) {
        write_memory_failure();
        return 2;
    }

    dateipos = 1;
    RunFile log(logfile);
    log.open_for_writing();
    RunFile input1(file1);
    input1.open_for_reading();
    RunFile input2(file2);
    input2.open_for_reading();
    std::ostream logdatei(&log);
    std::istream datei1(&input1);
    std::istream datei2(&input2);
    // An input that could not be opened is failed from the start, and so runs out first.
    for (auto [stream, file] : {std::pair{&datei1, &input1}, std::pair{&datei2, &input2}}) {
        if (!file->intact()) {
            stream->setstate(std::ios::failbit);
        }
    }

    write_log_banner(logdatei);
    write_log_heading(logdatei, file1, file2);
    const Shorter shorter =
        compare_streams(datei1, datei2, mode, blocks->first, blocks->second, [&] {
            lines.set(zeichen1, zeichen2, dateipos);
            if (console.takes_lines()) {
                console.write_line(lines.console_line());
            }
            if (log.takes_lines()) {
                log.write_line(lines.log_line());
            }
        });
    write_verdict(std::cout, logdatei, shorter, file1, file2);
    input1.close();
    input2.close();
    write_trailer(logdatei);
    log.close();
    console.pubsync();
    const bool complete = console.intact() && log.intact() && input1.intact() && input2.intact();
    return complete ? 0 : 2;
}
