// libFuzzer target: the block comparison must report what a plain byte-by-byte loop reports.
//
// Input layout: byte 0 chooses the mode (bit 0), the block size (bits 1 to 5, 1 to 32 bytes) and
// which inputs could not be opened (bits 6 and 7); byte 1 says where the rest splits into the
// two inputs' contents.

#include "block_compare.hpp"
#include "byte_reference.hpp"

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const Mode mode = (data[0] & 1) != 0 ? Mode::verbose : Mode::mismatch;
    const std::size_t block = ((data[0] >> 1) & 31) + 1;
    const bool unopened1 = (data[0] & 64) != 0;
    const bool unopened2 = (data[0] & 128) != 0;
    const std::string rest(reinterpret_cast<const char *>(data + 2), size - 2);
    const std::size_t split = rest.size() * data[1] / 255;
    const std::string a = rest.substr(0, split);
    const std::string b = rest.substr(split);

    const Outcome expected = byte_by_byte(a, b, mode, unopened1, unopened2);

    std::istringstream in1(a);
    std::istringstream in2(b);
    if (unopened1) {
        in1.setstate(std::ios::failbit);
    }
    if (unopened2) {
        in2.setstate(std::ios::failbit);
    }
    std::vector<char> block1(block);
    std::vector<char> block2(block);
    Outcome seen;
    dateipos = 1;
    seen.shorter = compare_streams(in1, in2, mode, block1, block2,
                                   [&] { seen.pairs.emplace_back(zeichen1, zeichen2, dateipos); });
    if (seen != expected) {
        std::abort();
    }
    return 0;
}
