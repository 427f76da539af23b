// Reads two files in blocks of the size given, through ifstream::read, and compares each pair of
// blocks with memcmp: the bare cost of one block size, for choosing pairscan's.
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>

int main(int argc, char *argv[]) {
    if (argc != 4) {
        std::cerr << "usage: block_probe file1 file2 block-size\n";
        return 1;
    }
    const std::size_t size = std::strtoul(argv[3], nullptr, 0);
    const auto block1 = std::make_unique_for_overwrite<char[]>(size);
    const auto block2 = std::make_unique_for_overwrite<char[]>(size);
    std::ifstream in1(argv[1]);
    std::ifstream in2(argv[2]);
    long differing_blocks = 0;
    while (in1 && in2) {
        in1.read(block1.get(), static_cast<std::streamsize>(size));
        in2.read(block2.get(), static_cast<std::streamsize>(size));
        const auto common = static_cast<std::size_t>(std::min(in1.gcount(), in2.gcount()));
        differing_blocks += std::memcmp(block1.get(), block2.get(), common) != 0 ? 1 : 0;
    }
    std::cout << differing_blocks << '\n';
}
