// What reading one byte of each input per round reports: the reference that the block
// comparison must match, in the unit tests and in the fuzzer alike.
#pragma once

#include "compare/comparison.hpp"
#include "inputs/pair.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <csignal>
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

// Bytes of no line end and no zero, in a pattern that no window or page size repeats.
inline std::string pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>('a' + i * 7 % 23);
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
    std::size_t before_cut(int k, std::size_t upto) const {
        const Side &side = sides_[k];
        return side.script.cut < side.delivered
                   ? std::min(upto, side.script.cut - std::min(side.script.cut, side.compared))
                   : upto;
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

// A layout told by script, as a file system would tell it: the holes of each file and the
// stretches whose blocks both files share, each list in order.
class ScriptedLayout final : public Layout {
  public:
    using Ranges = std::vector<std::pair<off_t, off_t>>; // [start, end)
    ScriptedLayout(std::array<Ranges, 2> holes, Ranges shared, std::array<off_t, 2> sizes)
        : holes_(std::move(holes)), shared_(std::move(shared)), sizes_(sizes) {}
    Segment segment(int k, off_t offset) override {
        for (const auto &[start, end] : holes_[k]) {
            if (offset < end) {
                return offset < start ? Segment{false, start} : Segment{true, end};
            }
        }
        return {false, sizes_[k]};
    }
    Sharing sharing(off_t offset) override {
        for (const auto &[start, end] : shared_) {
            if (offset < end) {
                return offset < start ? Sharing{false, start} : Sharing{true, end};
            }
        }
        return {false, std::numeric_limits<off_t>::max()};
    }

  private:
    std::array<Ranges, 2> holes_;
    Ranges shared_;
    std::array<off_t, 2> sizes_;
};

// Two files and a layout that agrees with their bytes: zeros in the holes, the same bytes in both
// where they share blocks.
struct LaidOut {
    std::array<std::string, 2> bytes;
    std::array<ScriptedLayout::Ranges, 2> holes;
    ScriptedLayout::Ranges shared;
};

// Lays stretches of up to 64 bytes over the two files, each drawn (by draw(), which gives any
// unsigned number) as a hole in the first, in the second or in both, shared, or plain data.
template <typename Draw> LaidOut laid_out(std::string a, std::string b, Draw &&draw) {
    LaidOut laid{{std::move(a), std::move(b)}, {}, {}};
    std::array<std::string, 2> &bytes = laid.bytes;
    const std::size_t common = std::min(bytes[0].size(), bytes[1].size());
    for (std::size_t at = 0; at < std::max(bytes[0].size(), bytes[1].size());) {
        const std::size_t end = at + 1 + draw() % 64;
        const unsigned kind = draw() % 5;
        for (std::size_t k = 0; k < 2; ++k) {
            if ((kind == k || kind == 2) && at < bytes[k].size()) {
                const std::size_t hole_end = std::min(end, bytes[k].size());
                bytes[k].replace(at, hole_end - at, hole_end - at, '\0');
                laid.holes[k].emplace_back(at, hole_end);
            }
        }
        if (kind == 3 && at < common) {
            const std::size_t shared_end = std::min(end, common);
            bytes[1].replace(at, shared_end - at, bytes[0], at, shared_end - at);
            laid.shared.emplace_back(at, shared_end);
        }
        at = end;
    }
    return laid;
}

// What mismatch mode reports on two such files (neither empty), mapped and compared by their
// layout.
inline Outcome compared_by_layout(const LaidOut &laid) {
    handle_window_faults();
    std::array<int, 2> fds{};
    std::array<struct stat, 2> status{};
    for (std::size_t k = 0; k < 2; ++k) {
        fds[k] = memfd_create("laid out", MFD_CLOEXEC);
        const std::string &bytes = laid.bytes[k];
        if (write(fds[k], bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) ||
            fstat(fds[k], &status[k]) != 0) {
            return {};
        }
    }
    MappedInput first("a", fds[0], status[0], 0);
    MappedInput second("b", fds[1], status[1], 1);
    first.map_first_window();
    second.map_first_window();
    ScriptedLayout layout(laid.holes, laid.shared, {status[0].st_size, status[1].st_size});
    const volatile std::sig_atomic_t no_stop = 0;
    InputPair inputs(first, second, {&no_stop, {}}, layout);
    Outcome seen;
    dateipos = 1;
    seen.shorter = *compare_inputs(inputs, Mode::mismatch, [&] {
        seen.pairs.emplace_back(zeichen1, zeichen2, dateipos);
        return true;
    });
    return seen;
}
