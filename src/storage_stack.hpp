// What the bytes of an opened file or device come from, and where a write to it goes, down every
// layer the kernel shows: a file's file system and its devices, a partition's disk, the members of
// a device-mapper or md device, a loop device's backing file, the file a file system is mounted
// from, and the file beneath one of overlayfs or FUSE.
#pragma once

#include "block_devices.hpp"
#include "mounts.hpp"

#include <sys/stat.h>

#include <array>
#include <cstddef>
#include <optional>

// A file by its device and inode number, or a block device by its number (inode 0).
struct Identity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const Identity &) const = default;
};

// How a layer was reached from the one above it.
enum class Link {
    itself,       // where the way starts
    file_system,  // a file's file system keeps it on a part of the device, apart from its others
    partition,    // a partition is a part of its disk, apart from the others
    member,       // a device-mapper or md device keeps its blocks on its members
    loop,         // a loop device reads its backing file whole
    mount_source, // a file system mounted straight from a file reads it whole
    layer,        // overlayfs or FUSE shows a file of another file system
};

// A layer that is known only by what the layer above shows of it: a regular file that shows the
// same is taken for it.
enum class Likeness {
    identity,     // known as itself
    inode_number, // overlayfs shows its inode number, with layer bits above (xino)
    attributes,   // FUSE, and an overlay whose layers are not found, show its size, times, mode
                  // and owner
    erofs_uuid,   // an erofs image renamed since its mount holds the file system's UUID
};

struct Layer {
    Identity identity;
    Link link = Link::itself;
    int above = -1; // the index of the layer above on the way
    Likeness likeness = Likeness::identity;
    bool status_known = false;
    struct stat status {}; // the file's status, or what the layer above shows of it
    long file_system = 0;  // the magic number of a file's file system, where known
    int fd = -1;           // a descriptor of it, or of a directory on its file system; not owned
    Uuid uuid{};
};

// Whether a layer of one way and a layer of another are one.
bool same_layer(const Layer &a, const Layer &b);

// The layers of one way down, the first being the file or device it starts from.
class Way {
  public:
    static constexpr std::size_t most = 48;
    const Layer &operator[](std::size_t k) const { return layers_[k]; }
    std::size_t size() const { return count_; }
    void add(const Layer &layer);

  private:
    std::array<Layer, most> layers_{};
    std::size_t count_ = 0;
};

// The layers of an overlay, opened: -1 for an upper layer that there is not.
struct OverlayDirectories {
    bool all_found = true;
    int upper = -1;
    std::array<int, 8> lowers{};
    std::size_t lower_count = 0;
};

// The walks of one run. Each step is asked of the kernel once, however many ways take it; the
// files opened on the way stay open while the stack lasts.
class StorageStack {
  public:
    StorageStack() = default;
    ~StorageStack();
    StorageStack(const StorageStack &) = delete;
    StorageStack &operator=(const StorageStack &) = delete;

    // What the bytes read through fd come from; status is its status when it was opened.
    Way reads(int fd, const struct stat &status);
    // What a write through fd changes.
    Way writes(int fd, const struct stat &status);

  private:
    // What was asked of one file system, by the device of its files.
    struct FileSystem {
        dev_t device = 0;
        long type = 0;
        std::optional<Mount> mount;
        std::optional<OverlayDirectories> layers;
    };

    Way walk(int fd, const struct stat &status, bool writing);
    void from_device(Way &way, std::size_t k);
    void from_file(Way &way, std::size_t k, bool writing);
    void from_overlay(Way &way, std::size_t k, bool writing);
    void from_mount_source(Way &way, std::size_t k);
    Layer file_layer(int fd, const struct stat &status, Link link, int above);
    Layer opened_layer(int fd, Link link, int above);
    FileSystem &file_system(int fd, dev_t device);
    const Mount &mount_of(FileSystem &file_system, int fd);
    const OverlayDirectories &layers_of(FileSystem &file_system, int fd);
    const DeviceBeneath &beneath(dev_t device);
    int keep_open(int fd);

    std::array<FileSystem, 12> file_systems_{};
    std::size_t file_system_count_ = 0;
    std::array<DeviceBeneath, 12> devices_{};
    std::array<dev_t, 12> device_numbers_{};
    std::size_t device_count_ = 0;
    std::array<int, 48> opened_{};
    std::size_t opened_count_ = 0;
};
