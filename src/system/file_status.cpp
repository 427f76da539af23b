#include "system/file_status.hpp"

#include <fcntl.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

bool same_file(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool same_time(const timespec &a, const timespec &b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

std::optional<struct stat> status_of(int fd) {
    struct stat file {};
    return fd >= 0 && fstat(fd, &file) == 0 ? std::optional(file) : std::nullopt;
}

std::optional<off_t> file_size(int fd) {
    struct stat file {};
    return fstat(fd, &file) == 0 ? std::optional(file.st_size) : std::nullopt;
}

long file_system_of(int fd) {
    struct statfs place {};
    return fstatfs(fd, &place) == 0 ? static_cast<long>(place.f_type) : 0;
}

// A write lease is granted only to the one open file description of a file, and is given back at
// once: a process that opens the file meanwhile waits for that. The lease's SIGIO to this one is
// ignored (take_signals).
bool held_elsewhere(int fd) {
    const bool alone = fcntl(fd, F_SETLEASE, F_WRLCK) == 0;
    if (alone) {
        fcntl(fd, F_SETLEASE, F_UNLCK);
    }
    return !alone;
}

DescriptorName::DescriptorName(int fd) {
    std::snprintf(text.data(), text.size(), "/proc/self/fd/%d", fd);
}

std::string_view path_of(int fd, PathText &path) {
    const ssize_t length =
        path.valid() ? readlink(DescriptorName(fd).text.data(), path.data(), PathText::size - 1)
                     : -1;
    return {path.data(), static_cast<std::size_t>(std::max(length, ssize_t{0}))};
}
