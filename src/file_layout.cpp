#include "file_layout.hpp"

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>

namespace {

constexpr off_t beyond = std::numeric_limits<off_t>::max();

// The only flags an extent may have to count as shared: any other (delayed allocation, unwritten,
// encoded, inline, unknown place...) means its blocks do not tell its bytes, and it is read. A
// wrong "equal" is the worst fault a comparison can have.
constexpr unsigned trusted_flags = FIEMAP_EXTENT_SHARED | FIEMAP_EXTENT_LAST | FIEMAP_EXTENT_MERGED;

off_t end_of(const fiemap_extent &extent) {
    return static_cast<off_t>(extent.fe_logical + extent.fe_length);
}

bool trusted(const fiemap_extent *extent) {
    return extent != nullptr && (extent->fe_flags & ~trusted_flags) == 0;
}

std::uint64_t physical_at(const fiemap_extent &extent, off_t offset) {
    return extent.fe_physical + (static_cast<std::uint64_t>(offset) - extent.fe_logical);
}

} // namespace

bool same_blocks(const fiemap_extent *first, const fiemap_extent *second, off_t offset) {
    return trusted(first) && trusted(second) &&
           physical_at(*first, offset) == physical_at(*second, offset);
}

DiskLayout::DiskLayout(std::array<int, 2> fds, std::array<off_t, 2> sizes, bool one_file_system)
    : fds_(fds), sizes_(sizes), one_file_system_(one_file_system) {}

Segment DiskLayout::segment(int k, off_t offset) {
    Segment &known = segments_[k];
    if (offset >= segment_starts_[k] && offset < known.end) {
        return known;
    }
    const off_t size = sizes_[k];
    const off_t data = lseek(fds_[k], offset, SEEK_DATA);
    if (data == offset) {
        const off_t hole = lseek(fds_[k], offset, SEEK_HOLE);
        known = {false, hole > offset ? std::min(hole, size) : size};
    } else if (data > offset) {
        known = {true, std::min(data, size)};
    } else if (errno == ENXIO) {
        // No data from here on: a hole to the end, unless the file was cut short under the run,
        // which its mapping then finds out exactly.
        struct stat now {};
        const bool cut = fstat(fds_[k], &now) != 0 || now.st_size <= offset;
        known = {!cut, cut ? size : std::min(now.st_size, size)};
    } else {
        known = {false, size}; // cannot tell: all of it is data
    }
    segment_starts_[k] = offset;
    return known;
}

Sharing DiskLayout::sharing(off_t offset) {
    if (!one_file_system_) {
        return {false, beyond};
    }
    const fiemap_extent *first = extent_at(0, offset);
    const fiemap_extent *second = extent_at(1, offset);
    if (same_blocks(first, second, offset)) {
        return {true, std::min(end_of(*first), end_of(*second))};
    }
    if (first != nullptr && (first->fe_flags & FIEMAP_EXTENT_SHARED) != 0) {
        return {false, std::min(end_of(*first), second != nullptr ? end_of(*second) : beyond)};
    }
    // Blocks that the first file shares with no file cannot be the second's: sharing can begin
    // only at its next shared extent.
    const Extents &known = extents_[0];
    const std::span<const fiemap_extent> list =
        known.unknown ? std::span<const fiemap_extent>() : known.list();
    const auto next = std::find_if(list.begin(), list.end(), [&](const fiemap_extent &extent) {
        return static_cast<off_t>(extent.fe_logical) > offset &&
               (extent.fe_flags & FIEMAP_EXTENT_SHARED) != 0;
    });
    return {false, next != list.end() ? static_cast<off_t>(next->fe_logical) : known.to};
}

std::span<const fiemap_extent> DiskLayout::Extents::list() const {
    const auto *map = reinterpret_cast<const fiemap *>(room.data());
    return {map->fm_extents, map->fm_mapped_extents};
}

const fiemap_extent *DiskLayout::extent_at(int k, off_t offset) {
    Extents &known = extents_[k];
    if (!known.unknown && (offset < known.from || offset >= known.to)) {
        auto *map = reinterpret_cast<fiemap *>(known.room.data());
        std::memset(map, 0, sizeof(fiemap));
        map->fm_start = static_cast<std::uint64_t>(offset);
        map->fm_length = FIEMAP_MAX_OFFSET - map->fm_start;
        map->fm_flags = FIEMAP_FLAG_SYNC; // data not yet written back is placed first
        map->fm_extent_count = Extents::most;
        known.unknown = ioctl(fds_[k], FS_IOC_FIEMAP, map) != 0;
        const std::span<const fiemap_extent> list = known.list();
        known.from = offset;
        known.to = list.empty() || (list.back().fe_flags & FIEMAP_EXTENT_LAST) != 0
                       ? beyond
                       : std::max(end_of(list.back()), offset + 1);
    }
    if (known.unknown) {
        known.to = beyond;
        return nullptr;
    }
    const std::span<const fiemap_extent> list = known.list();
    const auto found = std::find_if(list.begin(), list.end(), [&](const fiemap_extent &extent) {
        return static_cast<off_t>(extent.fe_logical) <= offset && offset < end_of(extent);
    });
    return found != list.end() ? &*found : nullptr;
}
