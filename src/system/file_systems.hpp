// What each kind of file system is, as far as the guard and the comparison need to know: where
// the bytes of its files lie, and whether its holes can be trusted. One table, by magic number.
#pragma once

// Where a file system keeps the bytes of its files.
enum class Beneath {
    device,         // the block device its files show, or the file it is mounted from
    own_devices,    // btrfs: every device it lists
    layers,         // overlayfs: the files of the layers its options name
    daemon,         // FUSE: wherever its server reads and writes
    nothing,        // in memory, or made up by the kernel
    cannot_be_seen, // a network file system: its server keeps the bytes
};

struct FileSystemKind {
    Beneath beneath;
    bool trusts_holes; // finds holes in a block map and a page cache of its own
};

// The kind by fstatfs's magic number; any other file system is taken for one on a device.
FileSystemKind kind_of(long magic);
