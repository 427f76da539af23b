// What a block device keeps its bytes on, as sysfs and the loop driver tell it: a partition its
// disk, a device-mapper or md device its members, a loop device its backing file.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <array>
#include <climits>
#include <cstddef>

// The file a loop device reads: a block device (its number), or a file (its device and inode
// number, where the device could be opened to ask; name, where sysfs gives one).
struct LoopBacking {
    dev_t device = 0; // a block device's number, or the file's device
    ino_t inode = 0;  // 0 for a block device, and where only the name is known
    std::array<char, PATH_MAX> name{};
};

struct DeviceBeneath {
    enum Kind { disk, partition, with_members, loop } kind = disk;
    static constexpr std::size_t most_members = 16;
    std::array<dev_t, most_members> members{}; // a partition's disk, or the members
    std::size_t count = 0;
    LoopBacking backing{};
};

DeviceBeneath device_beneath(dev_t device);

// A loop device whose backing file is the one fd has open, as /proc/partitions lists those that
// hold anything: only one no larger than the file can read it. Its number, or 0.
dev_t loop_device_backed_by(int fd, const struct stat &file);

// The node the kernel names the device by ("/dev/loop3"); empty where sysfs has no name for it.
std::array<char, 64> device_node_name(dev_t device);

// The devices a btrfs file system keeps its blocks on; fd is a file of it. None where it cannot be
// asked.
std::size_t btrfs_devices(int fd, std::array<dev_t, DeviceBeneath::most_members> &devices);
