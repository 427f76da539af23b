// The mapped floor: maps both files a window at a time from the page cache, compares them with
// memcmp a page at a time and unmaps them. Memory stays constant and nothing is copied: the least
// a comparison of two regular files can cost. With a log name it also reports each differing pair
// as pairscan does in mismatch mode, with one write(2) per line on standard output (unless it is
// /dev/null) and one on the log; without one it only counts the differing pages.
//
//   map_floor file1 file2 [window-size [logfile]]   (window size 2097152 by default)
#include "floor_common.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr std::size_t page = 4096;

struct Mapped {
    Mapped(int fd, off_t offset, std::size_t length)
        : data(static_cast<const char *>(mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, offset))),
          length(length) {
        if (data == MAP_FAILED) {
            std::perror("mmap");
            std::exit(2);
        }
    }
    ~Mapped() { munmap(const_cast<char *>(data), length); }
    Mapped(const Mapped &) = delete;
    Mapped &operator=(const Mapped &) = delete;
    const char *data;
    std::size_t length;
};

} // namespace

int main(int argc, char *argv[]) {
    if (argc < 3 || argc > 5) {
        std::fputs("usage: map_floor file1 file2 [window-size [logfile]]\n", stderr);
        return 1;
    }
    const std::size_t window = argc > 3 ? std::strtoul(argv[3], nullptr, 0) : 2097152;
    const int fd1 = open(argv[1], O_RDONLY);
    const int fd2 = open(argv[2], O_RDONLY);
    const int log = argc > 4 ? open(argv[4], O_WRONLY | O_CREAT | O_TRUNC, 0666) : -1;
    if (fd1 < 0 || fd2 < 0 || (argc > 4 && log < 0)) {
        std::perror("open");
        return 2;
    }
    const Reporter reporter{log, argc > 4 ? argv[4] : "", !on_dev_null(1)};
    const off_t common = std::min(size_of(fd1), size_of(fd2));
    long differing_pages = 0;
    for (off_t at = 0; at < common; at += static_cast<off_t>(window)) {
        const auto length = static_cast<std::size_t>(std::min<off_t>(window, common - at));
        const Mapped first(fd1, at, length);
        const Mapped second(fd2, at, length);
        for (std::size_t i = 0; i < length; i += page) {
            const std::size_t size = std::min(page, length - i);
            if (std::memcmp(first.data + i, second.data + i, size) == 0) {
                continue;
            }
            ++differing_pages;
            for (std::size_t k = i; log >= 0 && k < i + size; ++k) {
                if (first.data[k] != second.data[k]) {
                    reporter.report(first.data[k], second.data[k],
                                    static_cast<unsigned long>(at) + k + 1);
                }
            }
        }
    }
    if (log < 0) {
        std::printf("%ld\n", differing_pages);
    }
}
