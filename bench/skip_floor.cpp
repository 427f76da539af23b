// The skipping floor: compares two regular files as the map floor does (a window at a time,
// mapped, memcmp a page at a time), but passes over what both files share without reading it:
// a hole in both (lseek SEEK_DATA and SEEK_HOLE), and blocks that FIEMAP places at the same
// address of the disk in both. The least a comparison of sparse files or reflinked copies can
// cost. With a log name it reports each differing pair as pairscan does in mismatch mode, one
// write(2) per line on standard output (unless it is /dev/null) and on the log; without one it
// counts the differing pages.
//
//   skip_floor file1 file2 [logfile]
#include "floor_common.hpp"

#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace {

constexpr std::size_t page = 4096;
constexpr off_t window = 2097152;

// Where the data that starts at or after offset ends, and where it starts (size: none).
off_t next_data(int fd, off_t offset, off_t size) {
    const off_t data = lseek(fd, offset, SEEK_DATA);
    return data < 0 ? size : std::min(data, size);
}

off_t next_hole(int fd, off_t offset, off_t size) {
    const off_t hole = lseek(fd, offset, SEEK_HOLE);
    return hole < 0 ? size : std::min(hole, size);
}

// All extents of a file, with no flag but shared, last and merged; others are left out, so that
// their stretches are read.
std::vector<fiemap_extent> extents_of(int fd) {
    constexpr std::size_t most = 4096;
    std::vector<unsigned char> room(sizeof(fiemap) + most * sizeof(fiemap_extent));
    auto *map = reinterpret_cast<fiemap *>(room.data());
    map->fm_length = FIEMAP_MAX_OFFSET;
    map->fm_flags = FIEMAP_FLAG_SYNC;
    map->fm_extent_count = most;
    std::vector<fiemap_extent> found;
    if (ioctl(fd, FS_IOC_FIEMAP, map) == 0) {
        for (std::size_t i = 0; i < map->fm_mapped_extents; ++i) {
            const fiemap_extent &extent = map->fm_extents[i];
            if ((extent.fe_flags &
                 ~(FIEMAP_EXTENT_SHARED | FIEMAP_EXTENT_LAST | FIEMAP_EXTENT_MERGED)) == 0) {
                found.push_back(extent);
            }
        }
    }
    return found;
}

// How far from offset both files keep their bytes at the same address (0: they do not).
off_t shared_from(const std::vector<fiemap_extent> &a, const std::vector<fiemap_extent> &b,
                  off_t offset) {
    const auto holding = [&](const std::vector<fiemap_extent> &list) -> const fiemap_extent * {
        for (const fiemap_extent &extent : list) {
            if (off_t(extent.fe_logical) <= offset &&
                offset < off_t(extent.fe_logical + extent.fe_length)) {
                return &extent;
            }
        }
        return nullptr;
    };
    const fiemap_extent *x = holding(a);
    const fiemap_extent *y = holding(b);
    if (x == nullptr || y == nullptr ||
        x->fe_physical - x->fe_logical != y->fe_physical - y->fe_logical) {
        return 0;
    }
    return std::min(off_t(x->fe_logical + x->fe_length), off_t(y->fe_logical + y->fe_length)) -
           offset;
}

// The first end or start of an extent past offset.
off_t boundary_after(const std::vector<fiemap_extent> &list, off_t offset) {
    off_t boundary = std::numeric_limits<off_t>::max();
    for (const fiemap_extent &extent : list) {
        for (const off_t edge :
             {off_t(extent.fe_logical), off_t(extent.fe_logical + extent.fe_length)}) {
            if (edge > offset) {
                boundary = std::min(boundary, edge);
            }
        }
    }
    return boundary;
}

} // namespace

int main(int argc, char *argv[]) {
    if (argc < 3 || argc > 4) {
        std::fputs("usage: skip_floor file1 file2 [logfile]\n", stderr);
        return 1;
    }
    const int fd1 = open(argv[1], O_RDONLY);
    const int fd2 = open(argv[2], O_RDONLY);
    const int log = argc > 3 ? open(argv[3], O_WRONLY | O_CREAT | O_TRUNC, 0666) : -1;
    if (fd1 < 0 || fd2 < 0 || (argc > 3 && log < 0)) {
        std::perror("open");
        return 2;
    }
    const Reporter reporter{log, argc > 3 ? argv[3] : "", !on_dev_null(1)};
    const off_t common = std::min(size_of(fd1), size_of(fd2));
    const std::vector<fiemap_extent> extents1 = extents_of(fd1);
    const std::vector<fiemap_extent> extents2 = extents_of(fd2);
    long differing_pages = 0;
    for (off_t at = 0; at < common;) {
        const off_t data = std::min(next_data(fd1, at, common), next_data(fd2, at, common));
        if (data > at) { // a hole in both
            at = data;
            continue;
        }
        const off_t shared = shared_from(extents1, extents2, at);
        if (shared > 0) {
            at += shared;
            continue;
        }
        // Read to where a file's data, or an extent, ends: past it may be skipped.
        off_t end = std::min(at + window, common);
        for (const int fd : {fd1, fd2}) {
            if (next_data(fd, at, common) == at) {
                end = std::min(end, next_hole(fd, at, common));
            }
        }
        end = std::min({end, boundary_after(extents1, at), boundary_after(extents2, at)});
        const auto length = std::size_t(end - at);
        const off_t start = at - at % off_t(page);
        const std::size_t mapped = length + std::size_t(at - start);
        const auto *first =
            static_cast<const char *>(mmap(nullptr, mapped, PROT_READ, MAP_SHARED, fd1, start));
        const auto *second =
            static_cast<const char *>(mmap(nullptr, mapped, PROT_READ, MAP_SHARED, fd2, start));
        if (first == MAP_FAILED || second == MAP_FAILED) {
            std::perror("mmap");
            return 2;
        }
        for (std::size_t i = std::size_t(at - start); i < mapped; i += page) {
            const std::size_t size = std::min(page, mapped - i);
            if (std::memcmp(first + i, second + i, size) == 0) {
                continue;
            }
            ++differing_pages;
            for (std::size_t k = i; log >= 0 && k < i + size; ++k) {
                if (first[k] != second[k]) {
                    reporter.report(first[k], second[k], std::size_t(start) + k + 1);
                }
            }
        }
        munmap(const_cast<char *>(first), mapped);
        munmap(const_cast<char *>(second), mapped);
        at = end;
    }
    if (log < 0) {
        std::printf("%ld\n", differing_pages);
    }
}
