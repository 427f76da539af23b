// The read floor: reads two files in blocks and compares each pair of blocks with memcmp a page at
// a time, so that every differing page is found, nothing else. The least a comparison that copies
// the files can cost, for one request size and one buffer placement.
//
//   read_floor file1 file2 [block-size [offset-from-a-page]]   (defaults: 262144 and 0)
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <new>

namespace {

constexpr std::size_t page = 4096;

// A buffer that starts `offset` bytes past a page boundary.
struct Buffer {
    explicit Buffer(std::size_t size, std::size_t offset)
        : base(static_cast<char *>(::operator new (size + offset, std::align_val_t{page}))),
          data(base + offset) {}
    ~Buffer() { ::operator delete (base, std::align_val_t{page}); }
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    char *base;
    char *data;
};

} // namespace

int main(int argc, char *argv[]) {
    if (argc < 3 || argc > 5) {
        std::cerr << "usage: read_floor file1 file2 [block-size [offset-from-a-page]]\n";
        return 1;
    }
    const std::size_t size = argc > 3 ? std::strtoul(argv[3], nullptr, 0) : 262144;
    const std::size_t offset = argc > 4 ? std::strtoul(argv[4], nullptr, 0) : 0;
    const Buffer block1(size, offset);
    const Buffer block2(size, offset);
    std::ifstream in1(argv[1]);
    std::ifstream in2(argv[2]);
    constexpr std::size_t stretch = 4096;
    long differing_pages = 0;
    while (in1 && in2) {
        in1.read(block1.data, static_cast<std::streamsize>(size));
        in2.read(block2.data, static_cast<std::streamsize>(size));
        const auto common = static_cast<std::size_t>(std::min(in1.gcount(), in2.gcount()));
        for (std::size_t i = 0; i < common; i += stretch) {
            const std::size_t size = std::min(stretch, common - i);
            differing_pages += std::memcmp(block1.data + i, block2.data + i, size) != 0 ? 1 : 0;
        }
    }
    std::cout << differing_pages << '\n';
}
