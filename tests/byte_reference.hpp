// What reading one byte of each input per round reports: the reference that the block
// comparison must match, in the unit tests and in the fuzzer alike.
#pragma once

#include "block_compare.hpp"

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

using Pair = std::tuple<char, char, unsigned long>; // zeichen1, zeichen2, dateipos

// A copy of bytes that differs at the given 1-based positions, as the tool counts them.
inline std::string differing_copy(std::string bytes, const std::vector<std::size_t> &positions) {
    for (std::size_t position : positions) {
        bytes[position - 1] = static_cast<char>(bytes[position - 1] ^ 0x20);
    }
    return bytes;
}

struct Outcome {
    std::vector<Pair> pairs;
    Shorter shorter = Shorter::neither;
    bool operator==(const Outcome &) const = default;
};

// An input that could not be opened is failed from the start: no round is made, and the verdict
// names it when the other one did open.
inline Outcome byte_by_byte(const std::string &a, const std::string &b, Mode mode,
                            bool unopened1 = false, bool unopened2 = false) {
    Outcome expected;
    if (unopened1 || unopened2) {
        if (unopened1 != unopened2) {
            expected.shorter = unopened1 ? Shorter::first : Shorter::second;
        }
        return expected;
    }
    const std::size_t common = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < common; ++i) {
        if (mode == Mode::verbose || a[i] != b[i]) {
            expected.pairs.emplace_back(a[i], b[i], i + 1);
        }
    }
    if (a.size() != b.size()) {
        expected.shorter = a.size() < b.size() ? Shorter::first : Shorter::second;
    }
    return expected;
}
