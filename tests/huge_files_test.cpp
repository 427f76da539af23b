// Positions past 4 GiB, on sparse files: exact, with no 32-bit wrap, and the right verdict.

#include "expected_texts.hpp"
#include "tool_runner.hpp"

#include <gtest/gtest.h>

#include <fstream>

namespace fs = std::filesystem;
using namespace expect;

namespace {

constexpr unsigned long five_gib = 5UL << 30;
constexpr unsigned long past_4_gib = (1UL << 32) + 1; // the first position a 32-bit count wraps

// A sparse file of `size` zero bytes but for the given 1-based positions.
void make_sparse(const fs::path &path, unsigned long size,
                 std::initializer_list<std::pair<unsigned long, char>> bytes) {
    std::ofstream(path).close();
    fs::resize_file(path, size);
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    for (const auto &[position, byte] : bytes) {
        file.seekp(static_cast<std::streamoff>(position - 1));
        file.put(byte);
    }
}

} // namespace

TEST(HugeFiles, PositionsPastFourGibibytes) {
    const Scratch scratch;
    make_sparse(scratch.dir() / "zeros", five_gib, {});
    make_sparse(scratch.dir() / "marked", five_gib, {{past_4_gib, 'x'}, {five_gib, 'y'}});
    make_sparse(scratch.dir() / "shorter", five_gib - 1, {});

    ToolRun run = scratch.run({"zeros", "marked", "l"});
    EXPECT_EQ(run.out, banner + announcement(false, "zeros", "marked", "l") +
                           console_mismatch('\0', 'x', past_4_gib, "l") +
                           console_mismatch('\0', 'y', five_gib, "l"));
    EXPECT_EQ(run.status, 0);

    run = scratch.run({"marked", "shorter", "l"});
    EXPECT_EQ(run.out, banner + announcement(false, "marked", "shorter", "l") +
                           console_mismatch('x', '\0', past_4_gib, "l") +
                           console_verdict("shorter", "marked"));
    EXPECT_EQ(scratch.read("l"), log_head("marked", "shorter") +
                                     log_mismatch('x', '\0', past_4_gib) +
                                     log_verdict("shorter", "marked") + trailer);
    EXPECT_EQ(run.status, 0);
}
