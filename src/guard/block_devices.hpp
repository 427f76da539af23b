// What a block device keeps its bytes on, as sysfs, the device node and its driver tell it.
#pragma once

#include "system/heap_list.hpp"

#include <sys/stat.h>
#include <sys/types.h>

#include <array>

struct DeviceBeneath {
    enum Kind { nothing, partition, members, loop, cannot_be_seen } kind = cannot_be_seen;
    HeapList<dev_t> devices;     // a partition's disk, or the members
    dev_t backing_device = 0;    // a loop device's: its file's device, or a block device
    ino_t backing_inode = 0;     // 0 for a block device
    HeapList<char> backing_name; // as sysfs gives it, with its NUL; empty where it gives none
    // Where not 0, nothing lies beneath but disks of this driver (the device's own major).
    unsigned only_major = 0;
};

DeviceBeneath device_beneath(dev_t device);

// Whether an attached loop device reads the file: 1 with its number in device, 0 for none, -1
// where some loop device cannot be seen. Asks every loop device: see held_elsewhere first.
int loop_device_backed_by(const struct stat &file, dev_t &device);

// "/dev/loop3", as the kernel names it; "device 7:3" where nothing names it.
std::array<char, 64> device_node_name(dev_t device);

// The devices of the btrfs that fd's file is on; false where some of them cannot be seen.
bool btrfs_devices(int fd, HeapList<dev_t> &devices);
