// What the kernel tells of an opened file, and the comparisons of it that several rooms make.
#pragma once

#include <sys/stat.h>

#include <optional>

// A file as the run opened it: its name, and its descriptor and status then, or -1 and why the
// open failed.
struct OpenedFile {
    const char *name;
    int fd;
    struct stat status;
    int errnum;
};

// One file: the same inode of the same device.
bool same_file(const struct stat &a, const struct stat &b);

bool same_time(const timespec &a, const timespec &b);

// The status of an open descriptor; nothing for -1 or where fstat fails.
std::optional<struct stat> status_of(int fd);

// How long the file is now; nothing where fstat fails. Safe in a signal handler.
std::optional<off_t> size_now(int fd);

// The magic number of the file system that a descriptor's file is on; 0 where it cannot be had.
long file_system_of(int fd);

// overlayfs and FUSE show the files of another file system as their own.
bool stacked(long type);

// A file system in memory, or of files made up: nothing lies beneath its files.
bool holds_nothing_beneath(long type);
