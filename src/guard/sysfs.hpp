// Reading sysfs and other directories of the kernel's: attributes, device numbers, listings.
#pragma once

#include "system/heap_list.hpp"

#include <dirent.h>
#include <sys/types.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdlib>
#include <string_view>

// "/sys/dev/block/MAJOR:MINOR" and the rest of a path below it.
struct SysfsPath {
    SysfsPath(dev_t device, const char *rest);
    std::array<char, 96> text{};
};

// Where sysfs keeps the device, as readlink gives "/sys/dev/block/MAJOR:MINOR" in place: empty
// where sysfs has no such device, or cannot be read.
std::string_view sysfs_place(dev_t device, PathText &place);

// The attribute's text, with a NUL after it, in text; its length, or -1 with errno.
ssize_t read_attribute(int directory, const char *name, char *text, std::size_t size);

// A "dev" attribute: "major:minor" and a line feed.
bool read_device_number(int directory, const char *name, dev_t &device);

// The devices of a sysfs directory of devices (members, a btrfs's devices); false where one of
// them cannot be read.
bool devices_listed(const char *directory, HeapList<dev_t> &devices);

// Calls entry(listing, name) for each entry of the directory listing (closed at the end) but "."
// and the hidden ones; false where it cannot be read whole.
template <typename Entry> bool each_entry(int listing, Entry &&entry) {
    constexpr std::size_t size = 4096;
    char *const entries = static_cast<char *>(std::malloc(size));
    ssize_t got = listing >= 0 && entries != nullptr ? 1 : -1;
    while (got > 0 && (got = getdents64(listing, entries, size)) > 0) {
        for (ssize_t at = 0; at < got;) {
            const auto *found = reinterpret_cast<const dirent64 *>(entries + at);
            at += found->d_reclen;
            if (found->d_name[0] != '.') {
                entry(listing, found->d_name);
            }
        }
    }
    std::free(entries);
    if (listing >= 0) {
        close(listing);
    }
    return got == 0;
}
