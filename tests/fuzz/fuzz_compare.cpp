// libFuzzer target: the comparison must report what a plain byte-by-byte loop reports, however
// the inputs' bytes arrive.
//
// Input layout: byte 0 chooses the mode (bit 0), whether each input delivers while it still has
// bytes pending (bits 1 and 2), and which inputs could not be opened (bits 6 and 7); bytes 1 to 4
// are each input's room and delivery size (1 to 64 bytes, as pipe reads or mapped windows);
// bytes 5 and 6 where each input is cut short (255: not at all); byte 7 says where the rest
// splits into the two inputs' contents. With bit 3 of byte 0, the two inputs are instead mapped
// files, laid out in holes and shared blocks drawn from bytes 1 to 4, and compared by that layout.

#include "byte_reference.hpp"
#include "compare/comparison.hpp"

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>

namespace {

ScriptedInput scripted(std::string bytes, std::uint8_t room, std::uint8_t delivery, bool eager,
                       bool unopened, std::uint8_t cut) {
    return {.bytes = std::move(bytes),
            .deliveries = {std::size_t{delivery} % 64 + 1, std::size_t{delivery} / 64 + 1},
            .room = std::size_t{room} % 64 + 1,
            .unopened = unopened,
            .cut = cut == 255 ? std::string::npos : std::size_t{cut},
            .eager = eager};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    constexpr std::size_t header = 8;
    if (size < header) {
        return 0;
    }
    const Mode mode = (data[0] & 1) != 0 ? Mode::verbose : Mode::mismatch;
    const bool unopened1 = (data[0] & 64) != 0;
    const bool unopened2 = (data[0] & 128) != 0;
    const std::string rest(reinterpret_cast<const char *>(data + header), size - header);
    const std::size_t split = rest.size() * data[7] / 255;
    const ScriptedInput first =
        scripted(rest.substr(0, split), data[1], data[2], (data[0] & 2) != 0, unopened1, data[5]);
    const ScriptedInput second =
        scripted(rest.substr(split), data[3], data[4], (data[0] & 4) != 0, unopened2, data[6]);

    if ((data[0] & 8) != 0 && !first.bytes.empty() && !second.bytes.empty()) {
        std::minstd_rand draw(data[1] | data[2] << 8 | data[3] << 16 | data[4] << 24);
        const LaidOut laid = laid_out(first.bytes, second.bytes, draw);
        if (compared_by_layout(laid) !=
            byte_by_byte(laid.bytes[0], laid.bytes[1], Mode::mismatch)) {
            std::abort();
        }
        return 0;
    }
    const Outcome expected =
        byte_by_byte(first.bytes.substr(0, first.cut), second.bytes.substr(0, second.cut), mode,
                     unopened1, unopened2);
    if (compared({first, second}, mode) != expected) {
        std::abort();
    }
    return 0;
}
