#include "inputs/layout.hpp"

#include "system/file_status.hpp"
#include "system/file_systems.hpp"

#include <fcntl.h>
#include <linux/btrfs.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>

namespace {

constexpr off_t beyond = std::numeric_limits<off_t>::max();

// The only flags an extent may have to count as shared: any other (delayed allocation, unwritten,
// encoded, inline, unknown place...) means its blocks do not tell its bytes, and it is read.
constexpr unsigned sharing_flags = FIEMAP_EXTENT_SHARED | FIEMAP_EXTENT_LAST | FIEMAP_EXTENT_MERGED;

off_t end_of(const fiemap_extent &extent) {
    return static_cast<off_t>(extent.fe_logical + extent.fe_length);
}

bool flags_allow_sharing(const fiemap_extent *extent) {
    return extent != nullptr && (extent->fe_flags & ~sharing_flags) == 0;
}

bool marked_shared(const fiemap_extent &extent) {
    return (extent.fe_flags & FIEMAP_EXTENT_SHARED) != 0;
}

// Only where files share blocks by design does one address in two files mean the same bytes.
// Elsewhere FIEMAP may give the address of another disk (overlayfs over two), of a compressed
// cluster that holds more than its length (erofs), or anything at all (FUSE, NFS).
std::optional<BlockSpace> block_space(int fd, long type, const struct stat &file) {
    BlockSpace space{type, {}, false};
    if (type == BTRFS_SUPER_MAGIC) {
        btrfs_ioctl_fs_info_args info{};
        if (ioctl(fd, BTRFS_IOC_FS_INFO, &info) != 0) {
            return std::nullopt;
        }
        std::memcpy(space.id.data(), info.fsid, space.id.size());
        return space;
    }
    fsxattr attributes{};
    if (type != XFS_SUPER_MAGIC || ioctl(fd, FS_IOC_FSGETXATTR, &attributes) != 0) {
        return std::nullopt;
    }
    std::memcpy(space.id.data(), &file.st_dev, sizeof file.st_dev);
    space.realtime = (attributes.fsx_xflags & FS_XFLAG_REALTIME) != 0;
    return space;
}

// cachestat(2), which the C library does not wrap yet. Kernel headers before Linux 6.5 do not
// name it: then its number on x86-64 and arm64, and elsewhere none, which fails as an old kernel
// does.
#if defined(__NR_cachestat)
constexpr long cachestat_call = __NR_cachestat;
#elif defined(__x86_64__) || defined(__aarch64__)
constexpr long cachestat_call = 451;
#else
constexpr long cachestat_call = -1;
#endif
struct CachestatRange {
    std::uint64_t offset, length;
};
struct CachestatCounts {
    std::uint64_t cached, dirty, writeback, evicted, recently_evicted;
};

// Whether some page of the file from `from` to `to` waits to be written back; nothing where the
// kernel cannot count them (before Linux 6.5, or a file this user may not write).
std::optional<bool> pages_wait(int fd, off_t from, off_t to) {
    const CachestatRange range{static_cast<std::uint64_t>(from),
                               static_cast<std::uint64_t>(to - from)};
    CachestatCounts counts{};
    if (syscall(cachestat_call, fd, &range, &counts, 0) != 0) {
        return std::nullopt;
    }
    return counts.dirty != 0 || counts.writeback != 0;
}

std::uint64_t physical_at(const fiemap_extent &extent, off_t offset) {
    return extent.fe_physical + (static_cast<std::uint64_t>(offset) - extent.fe_logical);
}

} // namespace

bool same_blocks(const fiemap_extent *first, const fiemap_extent *second, off_t offset,
                 SharedBlocks shared) {
    return flags_allow_sharing(first) && flags_allow_sharing(second) &&
           (shared == SharedBlocks::all || (shared == SharedBlocks::marked_in_both &&
                                            marked_shared(*first) && marked_shared(*second))) &&
           physical_at(*first, offset) == physical_at(*second, offset);
}

SharedBlocks shared_blocks(const std::optional<BlockSpace> &first,
                           const std::optional<BlockSpace> &second, bool one_file) {
    if (!first || !second || *first != *second) {
        return SharedBlocks::none;
    }
    return one_file ? SharedBlocks::all : SharedBlocks::marked_in_both;
}

bool finds_its_own_holes(long type) { return kind_of(type).trusts_holes; }

DiskLayout::DiskLayout(std::array<int, 2> fds, const struct stat &first, const struct stat &second)
    : fds_(fds), sizes_{first.st_size, second.st_size}, types_{file_system_of(fds[0]),
                                                               file_system_of(fds[1])},
      shared_(shared_blocks(block_space(fds[0], types_[0], first),
                            block_space(fds[1], types_[1], second), same_file(first, second))) {}

Segment DiskLayout::segment(int k, off_t offset) {
    Segment &cached = segments_[k];
    if (offset >= segment_starts_[k] && offset < cached.end) {
        return cached;
    }
    segment_starts_[k] = offset;
    if (!finds_its_own_holes(types_[k])) {
        return cached = {false, sizes_[k]};
    }
    cached = seek_segment(k, offset);
    return cached = cached.hole && !written_back_[k] ? check_hole(k, offset, cached.end) : cached;
}

// SEEK_DATA can miss data that the file system has not yet placed (ext4 files mapped by blocks
// do), so a hole counts only where no page of it waits to be written back, and only as the file
// system tells it after that was checked: data placed just before the check shows in the answer.
// Where the kernel cannot count those pages, the file is written back once, after which every
// answer holds; where that fails too, holes are read as data.
Segment DiskLayout::check_hole(int k, off_t offset, off_t end) {
    const std::optional<bool> waiting = pages_wait(fds_[k], offset, end);
    if (waiting) {
        const Segment found = *waiting ? Segment{false, end} : seek_segment(k, offset);
        return found.hole ? Segment{true, std::min(found.end, end)} : found;
    }
    if (sync_file_range(fds_[k], 0, 0,
                        SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                            SYNC_FILE_RANGE_WAIT_AFTER) == 0) {
        written_back_[k] = true;
        return seek_segment(k, offset);
    }
    return {false, end};
}

Segment DiskLayout::seek_segment(int k, off_t offset) {
    const off_t size = sizes_[k];
    const off_t data = lseek(fds_[k], offset, SEEK_DATA);
    if (data == offset) {
        const off_t hole = lseek(fds_[k], offset, SEEK_HOLE);
        return {false, hole > offset ? std::min(hole, size) : size};
    }
    if (data > offset) {
        return {true, std::min(data, size)};
    }
    if (errno == ENXIO) {
        // No data from here on: a hole to the end, unless the file was cut short meanwhile, which
        // its mapping then finds out exactly.
        const std::optional<off_t> current = file_size(fds_[k]);
        const bool cut = !current || *current <= offset;
        return {!cut, cut ? size : std::min(*current, size)};
    }
    return {false, size}; // cannot tell: all of it is data
}

Sharing DiskLayout::sharing(off_t offset) {
    if (shared_ == SharedBlocks::none) {
        return {false, beyond};
    }
    const fiemap_extent *first = extent_at(0, offset);
    const fiemap_extent *second = extent_at(1, offset);
    if (same_blocks(first, second, offset, shared_)) {
        return {true, std::min(end_of(*first), end_of(*second))};
    }
    if (first != nullptr && (shared_ == SharedBlocks::all || marked_shared(*first))) {
        return {false, std::min(end_of(*first), second != nullptr ? end_of(*second) : beyond)};
    }
    // Blocks that the first file shares with no file cannot be the second's: sharing can begin
    // only at its next shared extent.
    const Extents &first_extents = extents_[0];
    const std::span<const fiemap_extent> list =
        first_extents.unknown ? std::span<const fiemap_extent>() : first_extents.list();
    const auto next = std::find_if(list.begin(), list.end(), [&](const fiemap_extent &extent) {
        return static_cast<off_t>(extent.fe_logical) > offset && marked_shared(extent);
    });
    return {false, next != list.end() ? static_cast<off_t>(next->fe_logical) : first_extents.to};
}

std::span<const fiemap_extent> DiskLayout::Extents::list() const {
    const auto *map = reinterpret_cast<const fiemap *>(buffer.data());
    return {map->fm_extents, map->fm_mapped_extents};
}

const fiemap_extent *DiskLayout::extent_at(int k, off_t offset) {
    Extents &cached = extents_[k];
    if (!cached.unknown && (offset < cached.from || offset >= cached.to)) {
        auto *map = reinterpret_cast<fiemap *>(cached.buffer.data());
        std::memset(map, 0, sizeof(fiemap));
        map->fm_start = static_cast<std::uint64_t>(offset);
        map->fm_length = FIEMAP_MAX_OFFSET - map->fm_start;
        map->fm_flags = FIEMAP_FLAG_SYNC; // data not yet written back is placed first
        map->fm_extent_count = Extents::per_call;
        cached.unknown = ioctl(fds_[k], FS_IOC_FIEMAP, map) != 0;
        const std::span<const fiemap_extent> list = cached.list();
        cached.from = offset;
        cached.to = list.empty() || (list.back().fe_flags & FIEMAP_EXTENT_LAST) != 0
                        ? beyond
                        : std::max(end_of(list.back()), offset + 1);
    }
    if (cached.unknown) {
        cached.to = beyond;
        return nullptr;
    }
    const std::span<const fiemap_extent> list = cached.list();
    const auto found = std::find_if(list.begin(), list.end(), [&](const fiemap_extent &extent) {
        return static_cast<off_t>(extent.fe_logical) <= offset && offset < end_of(extent);
    });
    return found != list.end() ? &*found : nullptr;
}
