// The storage stack: what an opened file or device keeps its bytes on, layer by layer, as far down
// as the kernel shows.
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
enum class Link { itself, file_system, partition, member, loop, mount_source, layer };

// How a layer is known. Where only by what the layer above shows of it, any regular file that
// shows the same is taken for it.
enum class Likeness {
    identity,
    inode_number, // overlayfs shows it, with layer bits above (xino)
    attributes,   // size, times, mode and owner, as FUSE shows them
    erofs_uuid,   // an erofs image, renamed since its mount, holds it
};

struct Layer {
    Identity identity;
    Link link = Link::itself;
    int above = -1; // its index on the way
    Likeness likeness = Likeness::identity;
    bool status_known = false;
    struct stat status {}; // or what the layer above shows of it
    long file_system = 0;  // its magic number
    int fd = -1;           // of it, or of a directory on its file system; not owned
    Uuid uuid{};
};

// Whether a layer of one way and a layer of another are one.
bool same_layer(const Layer &a, const Layer &b);

// The layers of one way down. Its space is left untouched until a layer takes it: most ways are
// short, and a run starts faster without the page faults.
class Way {
  public:
    static constexpr std::size_t capacity = 48;
    Way() {} // NOLINT: = default would have Way{} zero every slot
    const Layer &operator[](std::size_t k) const { return slots_[k].layer; }
    std::size_t size() const { return count_; }
    void add(const Layer &layer);

  private:
    union Slot {
        Slot() {} // NOLINT: left unset
        Layer layer;
    };
    std::array<Slot, capacity> slots_;
    std::size_t count_ = 0;
};

// The layers of an overlay, opened.
struct OverlayDirectories {
    bool all_found = true;
    int upper = -1;
    std::array<int, 8> lowers{};
    std::size_t lower_count = 0;
};

// The ways of one run. Each step is asked of the kernel once, however many ways take it.
class StorageStack {
  public:
    StorageStack() = default;
    ~StorageStack();
    StorageStack(const StorageStack &) = delete;
    StorageStack &operator=(const StorageStack &) = delete;

    // What reading fd reads, and what writing it changes; status is fd's status at its open.
    Way reads(int fd, const struct stat &status) { return walk(fd, status, false); }
    Way writes(int fd, const struct stat &status) { return walk(fd, status, true); }

  private:
    // By the device of its files.
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
    std::array<DeviceBeneath, 12> devices_; // unset until asked: see DeviceBeneath
    std::array<dev_t, 12> device_numbers_{};
    std::size_t device_count_ = 0;
    std::array<int, 48> opened_{};
    std::size_t opened_count_ = 0;
};
