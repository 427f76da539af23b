#include "file_status.hpp"

#include <linux/magic.h>
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

std::optional<off_t> size_now(int fd) {
    struct stat file {};
    return fstat(fd, &file) == 0 ? std::optional(file.st_size) : std::nullopt;
}

long file_system_of(int fd) {
    struct statfs place {};
    return fstatfs(fd, &place) == 0 ? static_cast<long>(place.f_type) : 0;
}

bool stacked(long type) { return type == OVERLAYFS_SUPER_MAGIC || type == FUSE_SUPER_MAGIC; }

bool holds_nothing_beneath(long type) {
    return type == TMPFS_MAGIC || type == RAMFS_MAGIC || type == PROC_SUPER_MAGIC ||
           type == SYSFS_MAGIC || type == PIPEFS_MAGIC || type == SOCKFS_MAGIC ||
           type == DEVPTS_SUPER_MAGIC || type == CGROUP2_SUPER_MAGIC || type == 0;
}

DescriptorName::DescriptorName(int fd) {
    std::snprintf(text.data(), text.size(), "/proc/self/fd/%d", fd);
}

std::string_view path_of(int fd, std::array<char, PATH_MAX> &path) {
    const ssize_t length = readlink(DescriptorName(fd).text.data(), path.data(), path.size() - 1);
    return {path.data(), static_cast<std::size_t>(std::max(length, ssize_t{0}))};
}
