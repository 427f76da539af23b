// Files whose layout lets the run pass over what both must hold alike: copies that share their
// blocks, on XFS, and files on two file systems made alike (holes are swept in sweep_test.cpp).
// The reports must be exactly those of reading every byte.

#include "byte_reference.hpp"
#include "expected_texts.hpp"
#include "file_layout.hpp"
#include "private_mounts.hpp"
#include "tool_runner.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <list>

namespace fs = std::filesystem;
using namespace expect;

namespace {

constexpr unsigned long five_gib = 5UL << 30;
constexpr unsigned long past_4_gib = (1UL << 32) + 1; // the first position a 32-bit count wraps
constexpr off_t mib = off_t{1} << 20;

// Writes bytes into the file at offset, creating it, and leaves the rest as it was: unwritten
// stretches stay holes.
void write_at(const fs::path &file, off_t offset, const std::string &bytes, bool flush = true) {
    const int fd = open(file.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), offset), static_cast<ssize_t>(bytes.size()));
    EXPECT_TRUE(!flush || fsync(fd) == 0);
    close(fd);
}

void sized(const fs::path &file, off_t size) {
    std::ofstream(file, std::ios::app).close();
    fs::resize_file(file, static_cast<std::uintmax_t>(size));
}

// b made a copy of a that shares all of a's blocks.
void reflinked(const fs::path &a, const fs::path &b) {
    const int from = open(a.c_str(), O_RDONLY);
    const int to = open(b.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_EQ(ioctl(to, FICLONE, from), 0);
    close(from);
    close(to);
}

// Files a and b, each larger than a window, as a case makes them in a directory.
struct LayoutCase {
    const char *what;
    std::function<void(const fs::path &)> make;
};

const LayoutCase shared_cases[] = {
    {"a copy with one block changed",
     [](const fs::path &dir) {
         write_at(dir / "a", 0, pattern(8 * mib));
         reflinked(dir / "a", dir / "b");
         write_at(dir / "b", 5 * mib, std::string(4096, 'C'));
     }},
    {"a copy rewritten but not yet written back",
     [](const fs::path &dir) {
         write_at(dir / "a", 0, pattern(8 * mib + 5));
         reflinked(dir / "a", dir / "b");
         write_at(dir / "b", 3 * mib + 7, "abc", false);
         write_at(dir / "b", 8 * mib, "end", false);
     }},
};

void expect_exact(const fs::path &under, const LayoutCase &c) {
    const Scratch scratch(under);
    c.make(scratch.dir());
    // Its change time now differs from its modification time: that alone is no change in the run.
    fs::permissions(scratch.dir() / "a", fs::perms::owner_read);
    const std::string a = scratch.read("a");
    const std::string b = scratch.read("b");
    const ToolRun run = scratch.run({"a", "b", "l"});
    SCOPED_TRACE(std::string(c.what) + " in " + under.string());
    EXPECT_EQ(run.out, banner + announcement(false, "a", "b", "l") +
                           report_body(a, b, Reports::mismatches, Stream::console));
    EXPECT_EQ(scratch.read("l"),
              log_head("a", "b") + report_body(a, b, Reports::mismatches, Stream::log) + trailer);
    EXPECT_EQ(run.status, 0);
}

} // namespace

// Needs root, loop devices and mkfs.xfs; skipped, visibly, without them.
TEST(Layout, SharedBlocksOnXfsAreExact) {
    if (!enter_private_mounts()) {
        GTEST_SKIP() << "no mount namespace of the test's own here";
    }
    const Scratch holder;
    sized(holder.dir() / "xfs.img", 512 * mib);
    fs::create_directory(holder.dir() / "mnt");
    const std::string mkfs =
        "mkfs.xfs -q -m reflink=1 " + (holder.dir() / "xfs.img").string() + " >/dev/null 2>&1";
    const bool made = system(mkfs.c_str()) == 0;
    LoopDevice device(holder.dir() / "xfs.img");
    if (!made || !device.mount(holder.dir() / "mnt", "xfs")) {
        GTEST_SKIP() << "no XFS file system could be made and mounted here";
    }
    for (const LayoutCase &c : shared_cases) {
        expect_exact(holder.dir() / "mnt", c);
    }
}

// Two file systems made alike number and place their files alike: a file on one is never the same
// file as a file on the other, nor does it share its blocks (needs root and loop devices).
TEST(Layout, TwoFileSystemsShareNothing) {
    if (!enter_private_mounts()) {
        GTEST_SKIP() << "no mount namespace of the test's own here";
    }
    const Scratch holder;
    const std::string first = pattern(3 * mib);
    const std::string second = differing_copy(first, {5, 3 * mib});
    std::list<LoopDevice> devices;
    bool mounted = true;
    for (const std::string name : {"one", "two"}) {
        const fs::path place = holder.dir() / name;
        fs::create_directories(place / "files");
        fs::create_directory(place / "mnt");
        std::ofstream(place / "files/a") << (name == "one" ? first : second);
        const std::string mkfs = "mke2fs -q -F -t ext2 -d " + (place / "files").string() + " " +
                                 (place / "image").string() + " 8M >/dev/null 2>&1";
        mounted = mounted && system(mkfs.c_str()) == 0 &&
                  devices.emplace_back(place / "image").mount(place / "mnt", "ext2");
    }
    if (!mounted) {
        GTEST_SKIP() << "no two ext2 file systems could be made and mounted here";
    }
    const std::vector<std::string> args{"one/mnt/a", "two/mnt/a", "l"};
    const ToolRun run = holder.run(args);
    EXPECT_EQ(run.out, banner + announcement(false, args[0], args[1], "l") +
                           report_body(first, second, Reports::mismatches, Stream::console));
    holder.put("x", std::string(1, first[0]));
    EXPECT_EQ(holder.run({"one/mnt/a", "x", "two/mnt/a"}).status, 0) << "not the input";
}

// Only an extent whose flags say nothing against its blocks may count as shared: a wrong "equal"
// is the worst fault a comparison can have.
TEST(Layout, SharedOnlyWithTrustedFlags) {
    const auto extent = [](std::uint64_t logical, std::uint64_t physical, std::uint32_t flags) {
        fiemap_extent made{};
        made.fe_logical = logical;
        made.fe_physical = physical;
        made.fe_length = 16384;
        made.fe_flags = flags;
        return made;
    };
    const fiemap_extent plain = extent(4096, 1 << 20, 0);
    const std::uint64_t same = (1 << 20) - 4096; // the second extent starts at 0
    const fiemap_extent trusted =
        extent(0, same, FIEMAP_EXTENT_SHARED | FIEMAP_EXTENT_LAST | FIEMAP_EXTENT_MERGED);
    EXPECT_TRUE(same_blocks(&plain, &trusted, 8192) && same_blocks(&trusted, &plain, 8192));
    const fiemap_extent elsewhere = extent(0, 1 << 20, 0);
    EXPECT_FALSE(same_blocks(&plain, &elsewhere, 8192));
    for (const std::uint32_t flags :
         {FIEMAP_EXTENT_UNKNOWN, FIEMAP_EXTENT_DELALLOC, FIEMAP_EXTENT_ENCODED,
          FIEMAP_EXTENT_DATA_ENCRYPTED, FIEMAP_EXTENT_NOT_ALIGNED, FIEMAP_EXTENT_DATA_INLINE,
          FIEMAP_EXTENT_DATA_TAIL, FIEMAP_EXTENT_UNWRITTEN}) {
        const fiemap_extent untrusted = extent(0, same, flags);
        EXPECT_FALSE(same_blocks(&plain, &untrusted, 8192)) << flags;
        EXPECT_FALSE(same_blocks(&untrusted, &plain, 8192)) << flags;
    }
    EXPECT_FALSE(same_blocks(&plain, nullptr, 8192));
}

// Positions past 4 GiB, on sparse files: exact, with no 32-bit wrap, and the right verdict.
TEST(Layout, PositionsPastFourGibibytes) {
    const Scratch scratch;
    sized(scratch.dir() / "zeros", five_gib);
    write_at(scratch.dir() / "marked", past_4_gib - 1, "x");
    write_at(scratch.dir() / "marked", five_gib - 1, "y");
    sized(scratch.dir() / "shorter", five_gib - 1);

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
