// The mapped floor: maps both files a window at a time from the page cache, compares them with
// memcmp a page at a time, so that every differing page is found, and unmaps them, nothing else.
// Memory stays constant and nothing is copied: the least a comparison of two regular files that
// finds every difference can cost.
//
//   map_floor file1 file2 [window-size [populate]]   (defaults: 2097152 and 1)
//
// With populate 1 each window is mapped with MAP_POPULATE, so that its pages are set up in one
// call rather than fault by fault.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iostream>

namespace {

struct Mapped {
    Mapped(int fd, off_t offset, std::size_t length, int flags)
        : data(length == 0 ? nullptr
                           : static_cast<const char *>(
                                 mmap(nullptr, length, PROT_READ, MAP_SHARED | flags, fd, offset))),
          length(length) {
        if (data == MAP_FAILED) {
            std::perror("mmap");
            std::exit(2);
        }
    }
    ~Mapped() {
        if (data != nullptr) {
            munmap(const_cast<char *>(data), length);
        }
    }
    Mapped(const Mapped &) = delete;
    Mapped &operator=(const Mapped &) = delete;
    const char *data;
    std::size_t length;
};

off_t size_of(int fd) {
    struct stat file {};
    fstat(fd, &file);
    return file.st_size;
}

} // namespace

int main(int argc, char *argv[]) {
    if (argc < 3 || argc > 5) {
        std::cerr << "usage: map_floor file1 file2 [window-size [populate]]\n";
        return 1;
    }
    const std::size_t window = argc > 3 ? std::strtoul(argv[3], nullptr, 0) : 2097152;
    const int flags = argc > 4 && std::strtol(argv[4], nullptr, 0) == 0 ? 0 : MAP_POPULATE;
    const int fd1 = open(argv[1], O_RDONLY);
    const int fd2 = open(argv[2], O_RDONLY);
    if (fd1 < 0 || fd2 < 0) {
        std::perror("open");
        return 2;
    }
    const off_t common = std::min(size_of(fd1), size_of(fd2));
    constexpr std::size_t page = 4096;
    long differing_pages = 0;
    for (off_t at = 0; at < common; at += static_cast<off_t>(window)) {
        const auto length = static_cast<std::size_t>(std::min<off_t>(window, common - at));
        const Mapped first(fd1, at, length, flags);
        const Mapped second(fd2, at, length, flags);
        for (std::size_t i = 0; i < length; i += page) {
            const std::size_t size = std::min(page, length - i);
            differing_pages += std::memcmp(first.data + i, second.data + i, size) != 0 ? 1 : 0;
        }
    }
    std::cout << differing_pages << '\n';
}
