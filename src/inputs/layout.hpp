// Where two regular files keep their bytes: data, holes, and blocks both share on the disk, so
// that what must be equal in both is passed over unread.
#pragma once

#include <linux/fiemap.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <array>
#include <cstddef>
#include <optional>
#include <span>

// From the offset asked about up to end: all data, or all hole.
struct Segment {
    bool hole;
    off_t end;
};

// From the offset asked about up to end: in the same blocks of the disk in both, or maybe not.
struct Sharing {
    bool shared;
    off_t end;
};

class Layout {
  public:
    // For input k, at an offset below its size.
    virtual Segment segment(int k, off_t offset) = 0;
    // At an offset where both inputs hold data.
    virtual Sharing sharing(off_t offset) = 0;

  protected:
    ~Layout() = default; // never destroyed through this interface
};

// Which blocks at one address hold the same bytes in both files: only where the file system
// shares blocks by design (reflinks), and there those marked shared in both, or all for one file.
enum class SharedBlocks { none, marked_in_both, all };

// Where a file's blocks are numbered: btrfs once for all its subvolumes and snapshots, XFS apart on
// its data and realtime devices.
struct BlockSpace {
    long type;
    std::array<unsigned char, 16> id; // btrfs: the fsid; XFS: the device number
    bool realtime;
    bool operator==(const BlockSpace &) const = default;
};

// Nothing for a space that could not be learnt.
SharedBlocks shared_blocks(const std::optional<BlockSpace> &first,
                           const std::optional<BlockSpace> &second, bool one_file);

// Whether lseek(SEEK_DATA) answers from the file system's own block map and page cache, whose
// waiting pages cachestat counts.
bool finds_its_own_holes(long type);

// Whether both extents keep offset's byte in one block, with no flag against it.
bool same_blocks(const fiemap_extent *first, const fiemap_extent *second, off_t offset,
                 SharedBlocks shared);

// Holes by lseek where the file system finds them itself, shared blocks by FIEMAP. Each answer is
// kept until passed: a few calls per file, not one per window.
class DiskLayout final : public Layout {
  public:
    DiskLayout(std::array<int, 2> fds, const struct stat &first, const struct stat &second);
    Segment segment(int k, off_t offset) override;
    Sharing sharing(off_t offset) override;

  private:
    // What one FIEMAP call gave, from where it was last asked.
    struct Extents {
        static constexpr std::size_t per_call = 32;
        alignas(fiemap)
            std::array<unsigned char, sizeof(fiemap) + per_call * sizeof(fiemap_extent)> buffer;
        off_t from = 0;
        off_t to = 0;
        bool unknown = false; // FIEMAP failed: nothing is shared
        std::span<const fiemap_extent> list() const;
    };
    const fiemap_extent *extent_at(int k, off_t offset);
    Segment seek_segment(int k, off_t offset);
    Segment check_hole(int k, off_t offset, off_t end);

    std::array<int, 2> fds_;
    std::array<off_t, 2> sizes_;
    std::array<long, 2> types_{};
    SharedBlocks shared_;
    std::array<bool, 2> written_back_{};
    std::array<Segment, 2> segments_{};
    std::array<off_t, 2> segment_starts_{};
    std::array<Extents, 2> extents_{};
};
