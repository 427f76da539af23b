// What the kernel tells of an opened file.
#pragma once

#include "system/heap_list.hpp"

#include <sys/stat.h>

#include <array>
#include <climits>
#include <optional>
#include <string_view>

// fd is -1 where the open failed, errnum says why.
struct OpenedFile {
    const char *name;
    int fd;
    struct stat status;
    int errnum;
};

bool same_file(const struct stat &a, const struct stat &b);

bool same_time(const timespec &a, const timespec &b);

// The name /proc gives an open descriptor.
struct DescriptorName {
    explicit DescriptorName(int fd);
    std::array<char, 32> text{};
};

// The path the kernel gives fd's file now: empty where it gives none.
std::string_view path_of(int fd, PathText &path);

// Nothing for -1 or where fstat fails.
std::optional<struct stat> status_of(int fd);

// Safe in a signal handler.
std::optional<off_t> file_size(int fd);

// The magic number of fd's file system; 0 where it cannot be had.
long file_system_of(int fd);

// Whether another open file description than fd's holds fd's regular file open (a loop device or
// a file system mounted from it does): false only where the kernel says none does.
bool held_elsewhere(int fd);
