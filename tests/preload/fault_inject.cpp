// Test-only fault injection, loaded into the tool with LD_PRELOAD.
//
//   PAIRSCAN_FAULT_READ=path:N   reads of that file fail with EIO once N of its bytes were read;
//                                its mapped pages from offset N (down to a page) on fault with
//                                SIGBUS, and pread from offset N on fails with EIO, as a disk
//                                error shows itself in each
//   PAIRSCAN_FAULT_WRITE=path:N  writes to that file fail with ENOSPC once N bytes were written
//   PAIRSCAN_FAULT_SHORT=path:N  each write to that file takes at most N bytes, as a pipe or a
//                                signal can make it; writev takes at most its first buffer
//   PAIRSCAN_FAULT_CLOSE=path:0  closing that file fails with EIO (the descriptor is released)
//   PAIRSCAN_FAULT_SLOW=path:N   each mapping of that file from an offset past 0 takes N ms more
//   PAIRSCAN_SWAP=name:target    just before the tool opens name for writing, name becomes a
//                                symbolic link to target, as another process could make it
//   PAIRSCAN_STOP=name:N         signal N comes just after the tool has opened name
//   PAIRSCAN_REPLACE=name:other  just after the tool has opened name, other takes its place, as
//                                another process could put it there
//   PAIRSCAN_NO_HANDLES=1        name_to_handle_at fails with EINVAL, as it does for the handle
//                                that only tells files apart before Linux 6.5
//   PAIRSCAN_COUNT=path:file     at exit, "W V" goes into file: the write and writev calls that
//                                reached that file
//
// The path must be absolute and canonical: descriptors are matched through /proc/self/fd.

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>

namespace {

struct Fault {
    std::string path;
    std::size_t budget = 0; // bytes that may still pass
    std::size_t offset = 0; // the first offset that fails
    bool armed = false;
};

// A setting of the form path:text, as two strings; both empty when it is not set.
std::pair<std::string, std::string> path_and_text(const char *variable) {
    const char *setting = std::getenv(variable);
    const char *colon = setting != nullptr ? std::strrchr(setting, ':') : nullptr;
    return colon != nullptr ? std::pair(std::string(setting, colon), std::string(colon + 1))
                            : std::pair(std::string(), std::string());
}

Fault configured(const char *variable) {
    Fault fault;
    std::string budget;
    std::tie(fault.path, budget) = path_and_text(variable);
    fault.armed = !fault.path.empty();
    fault.budget = fault.offset = std::strtoull(budget.c_str(), nullptr, 10);
    return fault;
}

bool refers_to(int fd, const Fault &fault) {
    if (!fault.armed) {
        return false;
    }
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char target[PATH_MAX];
    const ssize_t size = readlink(link, target, sizeof target);
    return size > 0 && fault.path.compare(0, std::string::npos, target, size) == 0;
}

// How many of count bytes may pass; 0 with errno set once the budget is spent.
std::size_t allowance(Fault &fault, std::size_t count, int error) {
    if (fault.budget == 0) {
        errno = error;
        return 0;
    }
    const std::size_t allowed = count < fault.budget ? count : fault.budget;
    fault.budget -= allowed;
    return allowed;
}

template <typename Function> Function *real(const char *name) {
    return reinterpret_cast<Function *>(dlsym(RTLD_NEXT, name));
}

Fault read_fault = configured("PAIRSCAN_FAULT_READ");
Fault write_fault = configured("PAIRSCAN_FAULT_WRITE");
Fault short_fault = configured("PAIRSCAN_FAULT_SHORT");
Fault close_fault = configured("PAIRSCAN_FAULT_CLOSE");
Fault slow_fault = configured("PAIRSCAN_FAULT_SLOW");

std::pair<std::string, std::string> swapped_name = path_and_text("PAIRSCAN_SWAP");
std::pair<std::string, std::string> stopped_name = path_and_text("PAIRSCAN_STOP");
std::pair<std::string, std::string> replaced_name = path_and_text("PAIRSCAN_REPLACE");

// The counted file, and where the counts go; both stand in the one setting.
struct Counted {
    Fault file;
    std::string into;
    unsigned long writes = 0;
    unsigned long writevs = 0;
    Counted() {
        std::tie(file.path, into) = path_and_text("PAIRSCAN_COUNT");
        file.armed = !file.path.empty();
    }
    Counted(const Counted &) = delete;
    Counted &operator=(const Counted &) = delete;
    ~Counted() {
        if (file.armed) {
            if (FILE *out = std::fopen(into.c_str(), "w")) {
                std::fprintf(out, "%lu %lu", writes, writevs);
                std::fclose(out);
            }
        }
    }
} counted;

} // namespace

extern "C" int open(const char *name, int flags, ...) {
    static auto *const next = real<int(const char *, int, ...)>("open");
    va_list rest;
    va_start(rest, flags);
    const mode_t mode = (flags & O_CREAT) != 0 ? va_arg(rest, mode_t) : 0;
    va_end(rest);
    if ((flags & O_ACCMODE) == O_WRONLY && !swapped_name.first.empty() &&
        swapped_name.first == name) {
        unlink(name);
        symlink(swapped_name.second.c_str(), name);
        swapped_name.first.clear(); // once
    }
    const int fd = next(name, flags, mode);
    if (fd >= 0 && stopped_name.first == name) {
        raise(std::atoi(stopped_name.second.c_str()));
    }
    if (fd >= 0 && replaced_name.first == name) {
        rename(replaced_name.second.c_str(), name);
    }
    return fd;
}

extern "C" int name_to_handle_at(int dir, const char *name, file_handle *handle, int *mount,
                                 int flags) {
    static auto *const next = real<decltype(name_to_handle_at)>("name_to_handle_at");
    if (std::getenv("PAIRSCAN_NO_HANDLES") != nullptr) {
        errno = EINVAL;
        return -1;
    }
    return next(dir, name, handle, mount, flags);
}

extern "C" ssize_t read(int fd, void *buffer, std::size_t count) {
    static auto *const next = real<ssize_t(int, void *, std::size_t)>("read");
    if (count > 0 && refers_to(fd, read_fault)) {
        count = allowance(read_fault, count, EIO);
        if (count == 0) {
            return -1;
        }
    }
    return next(fd, buffer, count);
}

extern "C" ssize_t write(int fd, const void *buffer, std::size_t count) {
    static auto *const next = real<ssize_t(int, const void *, std::size_t)>("write");
    if (refers_to(fd, counted.file)) {
        ++counted.writes;
    }
    if (refers_to(fd, short_fault) && count > short_fault.budget) {
        count = short_fault.budget;
    }
    if (count > 0 && refers_to(fd, write_fault)) {
        count = allowance(write_fault, count, ENOSPC);
        if (count == 0) {
            return -1;
        }
    }
    return next(fd, buffer, count);
}

// Large writes through a file stream go out as writev; only the first buffer is let through
// when the budget runs short, which is a legal short write.
extern "C" ssize_t writev(int fd, const iovec *pieces, int count) {
    static auto *const next = real<ssize_t(int, const iovec *, int)>("writev");
    if (refers_to(fd, counted.file)) {
        ++counted.writevs;
    }
    if (count > 1 && refers_to(fd, short_fault)) {
        return write(fd, pieces[0].iov_base, pieces[0].iov_len);
    }
    if (count > 0 && refers_to(fd, write_fault)) {
        std::size_t total = 0;
        for (int i = 0; i < count; ++i) {
            total += pieces[i].iov_len;
        }
        if (total > write_fault.budget) {
            return write(fd, pieces[0].iov_base, pieces[0].iov_len);
        }
        write_fault.budget -= total;
    }
    return next(fd, pieces, count);
}

extern "C" ssize_t pread(int fd, void *buffer, std::size_t count, off_t offset) {
    static auto *const next = real<ssize_t(int, void *, std::size_t, off_t)>("pread");
    if (refers_to(fd, read_fault) && static_cast<std::size_t>(offset) >= read_fault.offset) {
        errno = EIO;
        return -1;
    }
    return next(fd, buffer, count, offset);
}

// The pages past the fault are covered by a mapping of an empty file: touching them raises
// SIGBUS, as touching a page that the disk cannot deliver does.
extern "C" void *mmap(void *address, std::size_t length, int protection, int flags, int fd,
                      off_t offset) {
    static auto *const next = real<void *(void *, std::size_t, int, int, int, off_t)>("mmap");
    if (fd >= 0 && offset > 0 && refers_to(fd, slow_fault)) {
        usleep(static_cast<useconds_t>(slow_fault.budget * 1000));
    }
    void *const mapped = next(address, length, protection, flags, fd, offset);
    if (mapped == MAP_FAILED || fd < 0 || !refers_to(fd, read_fault)) {
        return mapped;
    }
    const std::size_t page = 4096;
    const std::size_t bad = read_fault.offset / page * page;
    const auto start = static_cast<std::size_t>(offset);
    if (start + length <= bad) {
        return mapped;
    }
    const std::size_t skip = bad > start ? bad - start : 0;
    const int empty = memfd_create("fault", MFD_CLOEXEC);
    next(static_cast<char *>(mapped) + skip, length - skip, PROT_READ, MAP_SHARED | MAP_FIXED,
         empty, 0);
    ::close(empty);
    return mapped;
}

extern "C" int close(int fd) {
    static auto *const next = real<int(int)>("close");
    const bool fails = refers_to(fd, close_fault);
    const int closed = next(fd);
    if (fails) {
        errno = EIO;
        return -1;
    }
    return closed;
}
