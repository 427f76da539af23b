// What a block device keeps its bytes on, as sysfs and the loop driver tell it.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <array>
#include <climits>
#include <cstddef>

// A block device (inode 0), or a file; the name as sysfs gives it.
struct LoopBacking {
    dev_t device;
    ino_t inode;
    std::array<char, PATH_MAX> name;
};

// Plain data, left unset where it is only declared: the answers are kept in space that a run
// touches only as far as it asks.
struct DeviceBeneath {
    enum Kind { disk, partition, with_members, loop } kind;
    static constexpr std::size_t member_capacity = 16;
    std::array<dev_t, member_capacity> members; // a partition's disk, or the members
    std::size_t count;
    LoopBacking backing;
};

DeviceBeneath device_beneath(dev_t device);

// A loop device whose backing file fd has open, or 0. Only one no larger than the file is asked.
dev_t loop_device_backed_by(int fd, const struct stat &file);

// "/dev/loop3", as the kernel names it; empty where sysfs has no name.
std::array<char, 64> device_node_name(dev_t device);

// The devices of the btrfs that fd's file is on.
std::size_t btrfs_devices(int fd, std::array<dev_t, DeviceBeneath::member_capacity> &devices);
