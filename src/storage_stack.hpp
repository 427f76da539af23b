// What the bytes of an opened file or device come from, and where a write to it goes, down every
// layer the kernel shows: a file's file system and its devices, a partition's disk, the members of
// a device-mapper or md device, a loop device's backing file, the file a file system is mounted
// from, and the file beneath one of overlayfs or FUSE.
#pragma once

#include <sys/stat.h>

#include <array>
#include <cstddef>

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

// A layer that is known only by what the layer above shows of it: any regular file that shows the
// same is taken for it.
enum class Likeness {
    identity,     // known as itself
    inode_number, // overlayfs shows its inode number, with layer bits above (xino), on device
    attributes,   // FUSE, and an upper layer not found, show its size, times, mode and owner
    erofs_uuid,   // an erofs image renamed since its mount holds the UUID of the file system
};

struct Layer {
    Identity identity;
    Link link = Link::itself;
    int above = -1; // the index of the layer above on the way
    Likeness likeness = Likeness::identity;
    bool status_known = false;
    struct stat status {}; // the file's status, or what the layer above shows of it
    long file_system = 0;  // the magic number of a file's file system, where known
    int fd = -1;           // a descriptor of it, or of a file on its file system; not owned
    std::array<unsigned char, 16> uuid{};
};

// The layers of one way down, the first being the file or device it starts from.
class Way {
  public:
    static constexpr std::size_t most = 48;
    const Layer &operator[](std::size_t k) const { return layers_[k]; }
    std::size_t size() const { return count_; }
    bool add(const Layer &layer);

  private:
    std::array<Layer, most> layers_{};
    std::size_t count_ = 0;
};

class Mount;

// The layers of an overlay, opened: -1 for an upper layer that is not there or not found.
struct OverlayDirectories {
    bool all_found = true; // every layer that the options name could be opened
    int upper = -1;
    std::array<int, 8> lowers{};
    std::size_t lower_count = 0;
};

// The walks of one run; each step is asked of the kernel once however many ways take it, and the
// files opened on the way stay open until the run ends.
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
    Way walk(int fd, const struct stat &status, bool writing);
    void step_down(Way &way, std::size_t k, bool writing);
    void from_device(Way &way, std::size_t k);
    void from_file(Way &way, std::size_t k, bool writing);
    void from_overlay(Way &way, std::size_t k, bool writing);
    void from_mount_source(Way &way, std::size_t k);
    OverlayDirectories open_layers(const Mount &mount);
    int keep_open(int fd);

    std::array<int, 32> opened_{};
    std::size_t opened_count_ = 0;
};

// Whether a layer of one way and a layer of another are one: the same identity, or a regular file
// that shows what the other is known by.
bool same_layer(const Layer &a, const Layer &b);
