// libFuzzer target: the block comparison must report what a plain byte-by-byte loop reports.
//
// Input layout: byte 0 chooses the mode (bit 0), the block size (bits 1 to 5, 1 to 32 bytes) and
// which inputs could not be opened (bits 6 and 7); byte 1 says where the rest splits into the
// two inputs' contents.

#include "comparison.hpp"

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Pair = std::tuple<char, char, unsigned long>;

Shorter byte_by_byte(const std::string &a, const std::string &b, Mode mode, bool unopened1,
                     bool unopened2, std::vector<Pair> &pairs) {
    if (unopened1 || unopened2) {
        return unopened1 == unopened2 ? Shorter::neither
                                      : (unopened1 ? Shorter::first : Shorter::second);
    }
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
        if (mode == Mode::verbose || a[i] != b[i]) {
            pairs.emplace_back(a[i], b[i], i + 1);
        }
    }
    if (a.size() == b.size()) {
        return Shorter::neither;
    }
    return a.size() < b.size() ? Shorter::first : Shorter::second;
}

} // namespace

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

    std::vector<Pair> expected;
    const Shorter expected_shorter = byte_by_byte(a, b, mode, unopened1, unopened2, expected);

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
    std::vector<Pair> seen;
    dateipos = 1;
    const Shorter shorter = compare_streams(in1, in2, mode, block1, block2, [&](bool equal) {
        if (equal != (zeichen1 == zeichen2)) {
            std::abort();
        }
        seen.emplace_back(zeichen1, zeichen2, dateipos);
        return true;
    });
    if (shorter != expected_shorter || seen != expected) {
        std::abort();
    }
    return 0;
}
