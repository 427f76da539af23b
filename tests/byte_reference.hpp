// What reading one byte of each input per round reports: the reference that the block
// comparison must match, in the unit tests and in the fuzzer alike.
#pragma once

#include "block_compare.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <span>
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

// Two inputs held in memory and delivered as a pipe or mapped windows would deliver them: each
// delivery is the next size of the input's schedule (cycled), into a room of a fixed size, and an
// input may be cut short at a chosen offset, past which it delivers zeros that are not its own.
struct ScriptedInput {
    std::string bytes;
    std::vector<std::size_t> deliveries{1};
    std::size_t room = 1;
    bool unopened = false;
    std::size_t cut = std::numeric_limits<std::size_t>::max();
    bool eager = false; // also delivers while it still has bytes pending, as long as there is room
};

class ScriptedInputs {
  public:
    ScriptedInputs(ScriptedInput first, ScriptedInput second)
        : sides_{Side{.script = std::move(first)}, Side{.script = std::move(second)}} {}

    bool fill() {
        for (Side &side : sides_) {
            if (!side.script.unopened && (side.pending() == 0 || side.script.eager)) {
                side.deliver();
            }
        }
        return true;
    }
    std::span<const char> pending(int k) const {
        const Side &side = sides_[k];
        return {side.seen.data() + side.compared, side.pending()};
    }
    bool ended(int k) const {
        const Side &side = sides_[k];
        return side.script.unopened || (side.pending() == 0 && side.at_end);
    }
    void consume(std::size_t size) {
        for (Side &side : sides_) {
            side.compared += size;
        }
    }
    std::size_t intact(int k) const {
        const Side &side = sides_[k];
        return side.script.cut < side.delivered
                   ? side.script.cut - std::min(side.script.cut, side.compared)
                   : std::numeric_limits<std::size_t>::max();
    }

  private:
    struct Side {
        ScriptedInput script;
        std::string seen{}; // what was delivered, zeros past the cut
        std::size_t delivered = 0;
        std::size_t compared = 0;
        std::size_t next = 0;
        bool at_end = false; // a delivery found nothing more

        std::size_t pending() const { return delivered - compared; }
        void deliver() {
            const std::size_t wanted =
                std::max<std::size_t>(1, script.deliveries[next++ % script.deliveries.size()]);
            const std::size_t room = script.room - std::min(script.room, pending());
            const std::size_t size = std::min({wanted, room, script.bytes.size() - delivered});
            for (std::size_t i = delivered; i < delivered + size; ++i) {
                seen += i < script.cut ? script.bytes[i] : '\0';
            }
            delivered += size;
            at_end = at_end || (size == 0 && delivered == script.bytes.size());
        }
    };
    std::array<Side, 2> sides_;
};

// What the comparison reports on two scripted inputs.
inline Outcome compared(ScriptedInputs inputs, Mode mode) {
    Outcome seen;
    dateipos = 1;
    seen.shorter = *compare_inputs(inputs, mode, [&] {
        seen.pairs.emplace_back(zeichen1, zeichen2, dateipos);
        return true;
    });
    return seen;
}
