// Test-only fault injection, loaded into the tool with LD_PRELOAD.
//
//   PAIRSCAN_FAIL=kind:k:answer  the k-th call of that kind (write, writev, read, close, ftruncate,
//                                open, fstat, mmap, lseek, ioctl, ppoll) gets this answer:
//     EIO, ENOSPC, EINTR, EAGAIN, ENOMEM  fails with it; a write that fails so leaves every later
//                                write to that file failing alike, as a full disk does (a mapping
//                                that fails with EIO is made, but its pages cannot be read)
//     EFBIG, EPIPE               as ENOSPC, after SIGXFSZ or SIGPIPE, as a size limit or a pipe
//                                whose reader has gone answers
//     STOP                       SIGTERM comes, and the call fails with EINTR; a later write to
//                                that file, or a later ppoll, then waits for ever
//     TERM                       SIGTERM comes, and the call goes on
//     0, 1, half                 a write or read takes that many bytes; half+ENOSPC then fails
//                                as ENOSPC does, half+STOP then lets SIGTERM come
//   PAIRSCAN_CUT=path:k:change   just before the k-th step of that file (a call on a descriptor of
//                                it, or a write to standard output) the file is cut to the size
//                                change gives, or, for "rewrite" or "rewrite-old-time", REWRITTEN!
//                                is written at offset 2200000, and the modification time put back;
//                                on a file system of whole seconds, in a later second; for
//                                "rewrite-renamed-over", into a copy that is renamed over the file
//                                (with "-chmod", the file's mode changed too); "chmod", "chgrp",
//                                "unlink-chgrp" (removed, then given another group)
//                                and "link" change its mode or group, or give it a name more
//   PAIRSCAN_NOTES=file          what happened goes there, a line each: "fired FD OUT LOG" when
//                                the answer was given to a call on descriptor FD, "cut
//                                before|open|after OUT" (the file not yet looked at, open, or
//                                closed), with OUT and LOG the bytes then written to standard
//                                output and to the log (any descriptor past 2), and at exit "calls
//                                N..." for each kind, then the steps of the cut file, and
//                                "file_reads N", its read(2) calls
//   PAIRSCAN_SWAP=name:target    just before the tool opens name for writing, name becomes a
//                                symbolic link to target, as another process could make it
//   PAIRSCAN_STOP=name:N         signal N comes just after the tool has opened name
//   PAIRSCAN_REPLACE=name:other  just after the tool has opened name, other takes its place, as
//                                another process could put it there
//   PAIRSCAN_FAILING=calls       cachestat and statmount, if named, fail with ENOSYS, as before
//                                Linux 6.5 and 6.8, and
//                                sync_file_range with EIO, as after a failed write-back; with
//                                unplaced_data, lseek(SEEK_DATA) answers as a file system that
//                                places data only when it writes it back: it finds no data whose
//                                page waits to be written back, and every other time for a file
//                                that the call before it was not cachestat, it misses the first
//                                data it would find, as an answer given before that was placed
//
// Paths must be absolute and canonical: descriptors are matched through /proc/self/fd.

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

namespace {

template <typename Function> Function *real(const char *name) {
    return reinterpret_cast<Function *>(dlsym(RTLD_NEXT, name));
}

// A setting of the form path:text, as two strings; both empty when it is not set.
std::pair<std::string, std::string> path_and_text(const char *variable) {
    const char *setting = std::getenv(variable);
    const char *colon = setting != nullptr ? std::strrchr(setting, ':') : nullptr;
    return colon != nullptr ? std::pair(std::string(setting, colon), std::string(colon + 1))
                            : std::pair(std::string(), std::string());
}

bool refers_to(int fd, const std::string &path) {
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    static char target[PATH_MAX]; // not on the stack: the tool runs under ulimit -s 32
    const ssize_t size = path.empty() || fd < 0 ? 0 : readlink(link, target, sizeof target);
    return size > 0 && path == std::string_view(target, static_cast<std::size_t>(size));
}

std::pair<std::string, std::string> swapped_name = path_and_text("PAIRSCAN_SWAP");
std::pair<std::string, std::string> stopped_name = path_and_text("PAIRSCAN_STOP");
std::pair<std::string, std::string> replaced_name = path_and_text("PAIRSCAN_REPLACE");

bool named_failing(const char *call) {
    const char *calls = std::getenv("PAIRSCAN_FAILING");
    return calls != nullptr && std::strstr(calls, call) != nullptr;
}

// Whether the call is named to fail; errno then says how.
bool failing(const char *call, int error) {
    errno = named_failing(call) ? error : errno;
    return named_failing(call);
}

bool after_cachestat = false;

constexpr std::array<std::string_view, 11> kinds{"write",     "writev", "read",  "close",
                                                 "ftruncate", "open",   "fstat", "mmap",
                                                 "lseek",     "ioctl",  "ppoll"};
constexpr std::array<std::string_view, 8> errno_names{"EIO",    "ENOSPC", "EINTR", "EAGAIN",
                                                      "ENOMEM", "EFBIG",  "EPIPE", "STOP"};
constexpr std::array<int, 8> errno_values{EIO, ENOSPC, EINTR, EAGAIN, ENOMEM, EFBIG, EPIPE, EINTR};

void note(const char *format, ...) {
    const char *notes = std::getenv("PAIRSCAN_NOTES");
    char line[256];
    va_list values;
    va_start(values, format);
    const int size = std::vsnprintf(line, sizeof line, format, values);
    va_end(values);
    const int fd = real<int(const char *, int, ...)>("open")(notes != nullptr ? notes : "",
                                                             O_WRONLY | O_CREAT | O_APPEND, 0600);
    real<ssize_t(int, const void *, std::size_t)>("write")(fd, line, std::size_t(size));
    real<int(int)>("close")(fd);
}

// The calls of each kind, the one answer, and the one change of a file.
struct Plan {
    std::array<unsigned long, kinds.size() + 1> calls{}; // then the steps of the changed file
    unsigned long file_reads = 0;                        // read(2) calls on the changed file
    std::string kind, answer;
    unsigned long at = 0;
    int errnum = 0;     // what the answer fails with, if it does
    int failed_fd = -1; // the file whose writes fail from then on
    bool waits_forever = false;
    unsigned long long out = 0, log = 0; // bytes written to standard output and to the log
    std::string cut_path, change;
    unsigned long cut_at = 0;
    bool seen = false, closed = false; // a call on the changed file was made, and its close

    Plan() {
        char kind_name[16] = "";
        char answer_text[16] = "";
        const char *fail = std::getenv("PAIRSCAN_FAIL");
        if (fail != nullptr &&
            std::sscanf(fail, "%15[^:]:%lu:%15s", kind_name, &at, answer_text) == 3) {
            kind = kind_name;
            answer = answer_text;
            for (std::size_t i = 0; i < errno_names.size(); ++i) {
                errnum = answer.ends_with(errno_names[i]) ? errno_values[i] : errnum;
            }
        }
        const auto [place, change_text] = path_and_text("PAIRSCAN_CUT"); // path:k, then change
        if (const std::size_t colon = place.rfind(':'); colon != std::string::npos) {
            cut_path = place.substr(0, colon);
            cut_at = std::strtoul(place.c_str() + colon + 1, nullptr, 10);
            change = change_text;
        }
    }
    ~Plan() {
        std::string counts = "calls";
        for (const unsigned long count : calls) {
            counts += " " + std::to_string(count);
        }
        note("%s\nfile_reads %lu\n", counts.c_str(), file_reads);
    }

    // Counts the call; true when it gets the answer, which may have let a signal come.
    bool fires(std::string_view called, int fd) {
        step(called, fd);
        const auto index = std::find(kinds.begin(), kinds.end(), called) - kinds.begin();
        if (++calls[static_cast<std::size_t>(index)] != at || called != kind) {
            return false;
        }
        // Handled, or pending, before the call returns; none for 0.
        std::raise(answer == "STOP" || answer == "TERM" ? SIGTERM
                   : answer == "EFBIG"                  ? SIGXFSZ
                   : answer == "EPIPE"                  ? SIGPIPE
                                                        : 0);
        return true;
    }
    void fired(int fd) const { note("fired %d %llu %llu\n", fd, out, log); }

    // A read or write as the answer has it: done with count bytes, or with fewer, or failed.
    template <typename Call>
    ssize_t answered(std::string_view called, int fd, std::size_t count, Call &&call) {
        const bool writes = called != "read";
        const bool answers = fires(called, fd);
        if (writes && fd == failed_fd) { // a stopped write: the output never drains
            sleep(answer == "STOP" ? 10 : 0);
            errno = errnum;
            return -1;
        }
        const bool shortened = answers && answer != "TERM";
        const std::size_t allowed = !shortened                   ? count
                                    : answer == "1"              ? 1
                                    : answer.starts_with("half") ? (count + 1) / 2
                                                                 : 0;
        const ssize_t done = !shortened || allowed > 0 ? call(allowed) : -(answer != "0");
        if (writes && done > 0) {
            (fd == STDOUT_FILENO ? out : log) += fd == STDERR_FILENO ? 0 : std::size_t(done);
        }
        if (answers) {
            failed_fd = writes && errnum != 0 && answer != "EINTR" && answer != "EAGAIN" &&
                                answer != "half+STOP"
                            ? fd
                            : -1;
            fired(fd);
            std::raise(answer == "half+STOP" ? SIGTERM : 0);
            errno = done < 0 ? errnum : errno;
        }
        return done;
    }
    // For a call that is done whole or not at all: true when it fails.
    bool fails(std::string_view called, int fd) {
        if (called == "ppoll" && waits_forever) {
            sleep(10); // nothing more arrives after a stop (sleep(0) too is a system call)
        }
        if (!fires(called, fd)) {
            return false;
        }
        waits_forever = called == "ppoll" && answer == "STOP";
        fired(fd);
        errno = errnum;
        return answer != "TERM";
    }

    void step(std::string_view called, int fd) {
        const bool on_file = refers_to(fd, cut_path);
        if (!on_file &&
            !(fd == STDOUT_FILENO && called.starts_with("write") && !cut_path.empty())) {
            return;
        }
        const bool closing = on_file && called == "close";
        file_reads += on_file && called == "read" ? 1 : 0;
        if (++calls.back() == cut_at) {
            // Changed before its first step, the file was changed before the tool looked at it.
            note("cut %s %llu\n", !seen ? "before" : closed || closing ? "after" : "open", out);
            make_change();
        }
        seen = seen || on_file;
        closed = closed || closing;
    }
    void make_change() const {
        struct stat before {};
        stat(cut_path.c_str(), &before);
        if (change == "chmod") { // a new change time, and no byte changed
            chmod(cut_path.c_str(), (before.st_mode & 07777) ^ S_IWUSR);
        } else if (change == "chgrp") {
            chown(cut_path.c_str(), static_cast<uid_t>(-1), before.st_gid ^ 1);
        } else if (change == "unlink-chgrp") { // removed, then given another group
            const int fd = real<int(const char *, int, ...)>("open")(cut_path.c_str(), O_RDONLY);
            unlink(cut_path.c_str());
            fchown(fd, static_cast<uid_t>(-1), before.st_gid ^ 1);
            real<int(int)>("close")(fd);
        } else if (change == "link") {
            link(cut_path.c_str(), (cut_path + ".link").c_str());
        } else if (!change.starts_with("rewrite")) {
            truncate(cut_path.c_str(), std::strtoll(change.c_str(), nullptr, 10));
        }
        if (!change.starts_with("rewrite")) {
            return;
        }
        while (before.st_mtim.tv_nsec == 0 && std::time(nullptr) <= before.st_mtime) {
            usleep(10000); // whole seconds: the change must come in a later one to be seen
        }
        const auto open_file = real<int(const char *, int, ...)>("open");
        const auto close_file = real<int(int)>("close");
        // Renamed over: a copy is rewritten and takes the name; the file the tool opened stays.
        const std::string target =
            cut_path + (change.starts_with("rewrite-renamed-over") ? ".new" : "");
        const int from = open_file(cut_path.c_str(), O_RDONLY);
        const int fd = open_file(target.c_str(), O_WRONLY | O_CREAT, 0600);
        while (target != cut_path && copy_file_range(from, nullptr, fd, nullptr, 1 << 30, 0) > 0) {
        }
        pwrite(fd, "REWRITTEN!", 10, 2200000);
        const timespec times[2] = {before.st_atim, before.st_mtim};
        futimens(fd, change == "rewrite-old-time" ? times : nullptr);
        if (change.ends_with("-chmod")) {
            fchmod(from, (before.st_mode & 07777) ^ S_IWUSR);
        }
        close_file(from);
        close_file(fd);
        rename(target.c_str(), cut_path.c_str());
    }
} plan;

} // namespace

// As another process could act on a name just before or after the tool opens it.
static int opened_as_planned(const char *name, int flags, const std::function<int()> &call) {
    if ((flags & O_ACCMODE) == O_WRONLY && !swapped_name.first.empty() &&
        swapped_name.first == name) {
        unlink(name);
        symlink(swapped_name.second.c_str(), name);
        swapped_name.first.clear(); // once
    }
    const int fd = plan.fails("open", -1) ? -1 : call();
    if (fd >= 0 && stopped_name.first == name) {
        std::raise(std::atoi(stopped_name.second.c_str()));
    }
    if (fd >= 0 && replaced_name.first == name) {
        rename(replaced_name.second.c_str(), name);
    }
    return fd;
}

extern "C" int open(const char *name, int flags, ...) {
    static auto *const next = real<int(const char *, int, ...)>("open");
    va_list rest;
    va_start(rest, flags);
    const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(rest, mode_t) : 0;
    va_end(rest);
    return opened_as_planned(name, flags, [&] { return next(name, flags, mode); });
}

// Names are matched as given: the tool makes a new log by its name in its directory.
extern "C" int openat(int directory, const char *name, int flags, ...) {
    static auto *const next = real<int(int, const char *, int, ...)>("openat");
    va_list rest;
    va_start(rest, flags);
    const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(rest, mode_t) : 0;
    va_end(rest);
    return opened_as_planned(name, flags, [&] { return next(directory, name, flags, mode); });
}

extern "C" ssize_t read(int fd, void *buffer, std::size_t count) {
    static auto *const next = real<ssize_t(int, void *, std::size_t)>("read");
    return plan.answered("read", fd, count,
                         [&](std::size_t allowed) { return next(fd, buffer, allowed); });
}

extern "C" ssize_t write(int fd, const void *buffer, std::size_t count) {
    static auto *const next = real<ssize_t(int, const void *, std::size_t)>("write");
    return plan.answered("write", fd, count,
                         [&](std::size_t allowed) { return next(fd, buffer, allowed); });
}

// Pieces cut short go out joined, as far as the answer lets them.
extern "C" ssize_t writev(int fd, const iovec *pieces, int count) {
    static auto *const next = real<ssize_t(int, const iovec *, int)>("writev");
    std::string joined;
    for (int i = 0; i < count; ++i) {
        joined.append(static_cast<const char *>(pieces[i].iov_base), pieces[i].iov_len);
    }
    return plan.answered("writev", fd, joined.size(), [&](std::size_t allowed) {
        return allowed == joined.size() ? next(fd, pieces, count)
                                        : real<ssize_t(int, const void *, std::size_t)>("write")(
                                              fd, joined.data(), allowed);
    });
}

// A file whose writes fail fails its close alike, as NFS reports a write error again there.
extern "C" int close(int fd) {
    static auto *const next = real<int(int)>("close");
    const bool fails = plan.fails("close", fd) || fd == plan.failed_fd;
    const int errnum = fd == plan.failed_fd ? plan.errnum : errno;
    plan.failed_fd = fd == plan.failed_fd ? -1 : plan.failed_fd;
    const int closed = next(fd); // Linux releases the descriptor whatever close reports
    errno = fails ? errnum : errno;
    return fails ? -1 : closed;
}

extern "C" int ftruncate(int fd, off_t size) {
    static auto *const next = real<int(int, off_t)>("ftruncate");
    return plan.fails("ftruncate", fd) ? -1 : next(fd, size);
}

extern "C" int fstat(int fd, struct stat *status) {
    static auto *const next = real<int(int, struct stat *)>("fstat");
    return plan.fails("fstat", fd) ? -1 : next(fd, status);
}

// The first page from from to to that does not wait to be written back, or to; from is a page's.
off_t first_placed(int fd, off_t from, off_t to) {
    static auto *const call = real<long(long, ...)>("syscall");
    const std::uint64_t range[2] = {std::uint64_t(from), std::uint64_t(to - from)};
    std::uint64_t counts[5] = {}; // cached, dirty, under write-back, ...
    const off_t pages = (to - from + 4095) / 4096;
    if (call(451, fd, range, counts, 0) != 0 || counts[1] + counts[2] == 0) {
        return from;
    }
    if (off_t(counts[1] + counts[2]) >= pages) {
        return to;
    }
    const off_t middle = from + pages / 2 * 4096;
    const off_t found = first_placed(fd, from, middle);
    return found < middle ? found : first_placed(fd, middle, to);
}

// The first data at or past from whose page does not wait to be written back; -1 with ENXIO when
// there is none.
off_t placed_data(int fd, off_t from) {
    static auto *const seek = real<off_t(int, off_t, int)>("lseek");
    for (off_t data = seek(fd, from, SEEK_DATA), hole = 0; data >= 0;
         data = seek(fd, hole, SEEK_DATA)) {
        hole = seek(fd, data, SEEK_HOLE);
        const off_t placed = first_placed(fd, data / 4096 * 4096, hole);
        if (placed < hole) {
            return std::max(placed, data);
        }
    }
    return -1;
}

extern "C" off_t lseek(int fd, off_t offset, int whence) {
    static auto *const next = real<off_t(int, off_t, int)>("lseek");
    static std::array<unsigned long, 64> unchecked{}; // of each file
    if (whence == SEEK_DATA && named_failing("unplaced_data")) {
        const off_t data = placed_data(fd, offset);
        if (std::exchange(after_cachestat, false) || data < 0 ||
            ++unchecked[std::size_t(fd) % unchecked.size()] % 2 == 1) {
            return data;
        }
        return placed_data(fd, next(fd, data, SEEK_HOLE)); // stale: the first data not yet seen
    }
    return plan.fails("lseek", fd) ? -1 : next(fd, offset, whence);
}

extern "C" int ioctl(int fd, unsigned long request, ...) {
    static auto *const next = real<int(int, unsigned long, void *)>("ioctl");
    va_list rest;
    va_start(rest, request);
    void *const argument = va_arg(rest, void *);
    va_end(rest);
    return plan.fails("ioctl", fd) ? -1 : next(fd, request, argument);
}

extern "C" int ppoll(pollfd *fds, nfds_t count, const timespec *timeout, const sigset_t *mask) {
    static auto *const next =
        real<int(pollfd *, nfds_t, const timespec *, const sigset_t *)>("ppoll");
    return plan.fails("ppoll", -1) ? -1 : next(fds, count, timeout, mask);
}

// What fortified builds call instead of ppoll, under the C library's own name.
// NOLINTNEXTLINE(bugprone-reserved-identifier)
extern "C" int __ppoll_chk(pollfd *fds, nfds_t count, const timespec *timeout, const sigset_t *mask,
                           std::size_t) {
    return ppoll(fds, count, timeout, mask);
}

// A mapping whose pages cannot be read is covered by a mapping of an empty file: touching it
// raises SIGBUS, as touching a page that the disk cannot deliver does.
extern "C" void *mmap(void *address, std::size_t length, int protection, int flags, int fd,
                      off_t offset) {
    static auto *const next = real<void *(void *, std::size_t, int, int, int, off_t)>("mmap");
    const bool fails = plan.fails("mmap", fd);
    if (fails && (fd < 0 || errno != EIO)) {
        return MAP_FAILED;
    }
    void *const mapped = next(address, length, protection, flags, fd, offset);
    if (fails && mapped != MAP_FAILED) {
        const int empty = memfd_create("unreadable", MFD_CLOEXEC);
        next(mapped, length, PROT_READ, MAP_SHARED | MAP_FIXED, empty, 0);
        real<int(int)>("close")(empty);
    }
    return mapped;
}

extern "C" long syscall(long number, ...) {
    static auto *const next = real<long(long, ...)>("syscall");
    va_list rest;
    va_start(rest, number);
    long args[6];
    for (long &arg : args) {
        arg = va_arg(rest, long); // as many as any call takes; the extra ones go unread
    }
    va_end(rest);
    if ((number == 451 && failing("cachestat", ENOSYS)) ||
        (number == 457 && failing("statmount", ENOSYS))) {
        return -1;
    }
    const long result = next(number, args[0], args[1], args[2], args[3], args[4], args[5]);
    after_cachestat = number == 451 && result == 0;
    return result;
}

extern "C" int sync_file_range(int fd, off_t offset, off_t count, unsigned flags) {
    static auto *const next = real<int(int, off_t, off_t, unsigned)>("sync_file_range");
    return failing("sync_file_range", EIO) ? -1 : next(fd, offset, count, flags);
}
