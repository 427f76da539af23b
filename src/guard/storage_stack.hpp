// The storage stack: what an opened file or device keeps its bytes on, layer by layer, as far down
// as the kernel shows, and where it shows nothing more, a layer that cannot be seen.
#pragma once

#include "guard/block_devices.hpp"
#include "guard/erofs.hpp"
#include "guard/mounts.hpp"
#include "system/heap_list.hpp"

#include <sys/stat.h>

#include <cstddef>

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
    inode_number, // overlayfs shows it, with layer bits above (xino), of a file on its device
    attributes,   // size, times, mode and owner, as FUSE shows them
    erofs_uuid,   // an erofs image, renamed since its mount, holds it
    unseen,       // what lies beneath the file system or device of this number cannot be seen
};

// What an unseen layer may be.
enum class Reach {
    anything,       // any file or block device
    disks_of_major, // a block device of one driver
    held_images,    // an image that a mounted file system may read whole, where the other list
                    // starts: what a FUSE server may read or write
    none,           // nothing of itself: it only shows what lies beneath that file system
};

struct Layer {
    Identity identity;
    Link link = Link::itself;
    int above = -1; // the index of the layer it was reached from
    Likeness likeness = Likeness::identity;
    Reach reach = Reach::anything; // of an unseen layer
    unsigned major_number = 0;     // of Reach::disks_of_major
    bool status_known = false;
    struct stat status {}; // or what the layer above shows of it
    long file_system = 0;  // its magic number
    int fd = -1;           // of it, or of a directory on its file system; not owned
    Uuid uuid{};           // sought (erofs_uuid), or held where an erofs image keeps it
    bool uuid_read = false;
    bool held_asked = false;
    bool held_elsewhere = false; // opened by another than this run, as far as it was asked
};

// The layers beneath one file or device, in the order they were found: itself first.
class Layers {
  public:
    const Layer &operator[](std::size_t k) const { return layers_[k]; }
    Layer &operator[](std::size_t k) { return layers_[k]; }
    std::size_t size() const { return layers_.size(); }
    // A layer reached before, from another one, is not added again.
    void add(const Layer &layer);
    bool short_of_memory() const { return layers_.short_of_memory(); }

  private:
    HeapList<Layer> layers_;
};

// The layers beneath the files of one run. Each step is asked of the kernel once, however many
// files take it.
class StorageStack {
  public:
    StorageStack() = default;
    ~StorageStack();
    StorageStack(const StorageStack &) = delete;
    StorageStack &operator=(const StorageStack &) = delete;

    // What reading fd reads, and what writing it changes; status is fd's status at its open.
    Layers reads(int fd, const struct stat &status) { return walk(fd, status, false); }
    Layers writes(int fd, const struct stat &status) { return walk(fd, status, true); }
    bool short_of_memory() const { return short_of_memory_; }

  private:
    struct OverlayLayer {
        int fd;
        bool data_only;
    };
    // By the device of its files; each made once, and never moved.
    struct FileSystem {
        dev_t device;
        long type;
        int fd; // of a file on it
        Mount *mount;
        bool layers_asked;
        bool all_layers_found;
        int upper;
        HeapList<OverlayLayer> lowers;
        bool metacopy;       // files of an upper layer may take their bytes from below
        bool trusted_xattrs; // its marks are trusted.* attributes, which only root reads
    };
    struct KnownDevice {
        dev_t number;
        DeviceBeneath *beneath;
    };

    Layers walk(int fd, const struct stat &status, bool writing);
    void from_device(Layers &layers, std::size_t k);
    void from_file(Layers &layers, std::size_t k, bool writing);
    void from_overlay(Layers &layers, std::size_t k, bool writing);
    void from_hidden_layers(Layers &layers, std::size_t k, bool writing, bool metacopy);
    bool from_lowers(Layers &layers, std::size_t k, const FileSystem &overlay, const char *path,
                     int &metacopy);
    bool from_redirect(Layers &layers, std::size_t k, const FileSystem &overlay, int metacopy);
    void from_mount_source(Layers &layers, std::size_t k);
    Layer file_layer(int fd, const struct stat &status, Link link, int above);
    Layer opened_layer(int fd, Link link, int above);
    FileSystem *file_system(int fd, dev_t device);
    const Mount *mount_of(FileSystem &file_system);
    const FileSystem &layers_of(FileSystem &overlay);
    const DeviceBeneath *beneath(dev_t device);
    bool is_metacopy(const FileSystem &overlay, int fd) const;
    int keep_open(int fd);

    HeapList<FileSystem *> file_systems_;
    HeapList<KnownDevice> devices_;
    HeapList<int> opened_;
    bool short_of_memory_ = false;
};

// Opens a name that a mount gives; a relative one from the tool's directory.
int open_named(std::string_view name, int flags);

// A layer known by what the one above shows of it.
Layer shown_layer(const Layer &layer, int above, Likeness likeness);

// With xino, overlayfs shows a file's layer in up to 32 high bits of its inode number.
bool shows_inode_number(ino_t shown, ino_t real);

// What may lie beneath a layer: a layer that cannot be seen, reached from layers[above].
Layer unseen_beneath(const Layers &layers, std::size_t above, Reach reach = Reach::anything);
