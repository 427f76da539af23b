// Where two regular files keep their bytes: the stretches that hold data and the holes that hold
// none, and the blocks that both files share on the disk. What the layout tells lets the run skip
// what must be equal in both without reading it.
#pragma once

#include <linux/fiemap.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <array>
#include <cstddef>
#include <optional>
#include <span>

// From the offset asked about up to end, a file is all data or all hole.
struct Segment {
    bool hole;
    off_t end;
};

// From the offset asked about up to end, the two files keep their bytes in the same blocks of
// the disk (shared), or they may not.
struct Sharing {
    bool shared;
    off_t end;
};

class Layout {
  public:
    // For input k (0 or 1), at an offset below its size.
    virtual Segment segment(int k, off_t offset) = 0;
    // At an offset where both inputs hold data.
    virtual Sharing sharing(off_t offset) = 0;

  protected:
    ~Layout() = default; // never destroyed through this interface
};

// Which blocks at one address of both files hold the same bytes: none, unless both files are on
// one file system that shares blocks between files by design (reflinks); there, those that both
// files mark as shared, or all of them when both inputs are one file.
enum class SharedBlocks { none, marked_in_both, all };

// Where a file's blocks are numbered: its file system, and on XFS which of its two devices. A
// btrfs file system numbers its blocks once for all its subvolumes and snapshots, although each
// shows a device number of its own; XFS numbers its data and realtime devices apart.
struct BlockSpace {
    long type;                        // the file system's magic number
    std::array<unsigned char, 16> id; // btrfs: the file system's fsid; XFS: the device number
    bool realtime;                    // XFS: on the realtime device
    bool operator==(const BlockSpace &) const = default;
};

// Which blocks of two files count as shared, given where their blocks are numbered (nothing where
// that could not be learnt) and whether both are one file.
SharedBlocks shared_blocks(const std::optional<BlockSpace> &first,
                           const std::optional<BlockSpace> &second, bool one_file);

// Whether lseek(SEEK_DATA) on a file system of this type is answered from its own block map and
// its own page cache, so that cachestat counts the pages that its answer may not yet show.
bool finds_its_own_holes(long type);

// Whether two extents, each holding offset, keep its byte in the same block of the disk, with no
// flag that says the block may not hold it.
bool same_blocks(const fiemap_extent *first, const fiemap_extent *second, off_t offset,
                 SharedBlocks shared);

// The layout as the file systems tell it: holes by lseek(SEEK_DATA, SEEK_HOLE) where the file
// system finds them itself (elsewhere all is data), and shared blocks by the FIEMAP ioctl. Each
// answer is kept until the comparison has passed it, so a file costs a few calls, not one per
// window.
class DiskLayout final : public Layout {
  public:
    // The inputs' descriptors and their status when opened.
    DiskLayout(std::array<int, 2> fds, const struct stat &first, const struct stat &second);
    Segment segment(int k, off_t offset) override;
    Sharing sharing(off_t offset) override;

  private:
    // The extents of one file from where it was last asked on, as far as one FIEMAP call gives.
    struct Extents {
        static constexpr std::size_t most = 32;
        alignas(
            fiemap) std::array<unsigned char, sizeof(fiemap) + most * sizeof(fiemap_extent)> room;
        off_t from = 0;
        off_t to = 0;
        bool unknown = false; // no FIEMAP here, or it failed: nothing counts as shared
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
