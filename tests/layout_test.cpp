// Files whose layout lets the run pass over what both must hold alike, made on every file system
// this machine can make: layouts drawn from a seed (holes, written zeros, preallocated, punched and
// zeroed ranges, files cut and grown again, reflinks whole and in part, at the same and at shifted
// offsets, writes with and without sync and O_DIRECT). The reports must be exactly those of
// reading every byte.

#include "byte_reference.hpp"
#include "expected_texts.hpp"
#include "inputs/layout.hpp"
#include "private_mounts.hpp"
#include "tool_runner.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/falloc.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <list>
#include <memory>
#include <random>
#include <sstream>

namespace fs = std::filesystem;
using namespace expect;

namespace {

constexpr unsigned long five_gib = 5UL << 30;
constexpr unsigned long past_4_gib = (1UL << 32) + 1; // the first position a 32-bit count wraps
constexpr off_t kib = 1024;
constexpr off_t mib = kib * kib;

// What a step of a layout does to a file, or to both (file 2), within its size.
enum class Op { write, direct, noise, zeros, allocate, punch, zero_range, cut, clone, size };
constexpr unsigned drawn_ops = 9; // all but size
struct Step {
    Op op;
    int file;
    off_t offset;
    off_t length; // for size, the size; for clone, 0 clones the whole other file
    unsigned salt = 0;
    off_t shift = 0; // a clone's place in the file past the place it comes from
    bool sync = false;
};

// The bytes a write puts from offset on: zeros; noise, which does not compress; or mostly zeros
// with a byte here and there, which does. One salt gives the same bytes at one offset in any file.
void fill(char *room, off_t offset, off_t length, const Step &step) {
    for (off_t i = 0; i < length; ++i) {
        const std::uint64_t mixed =
            static_cast<std::uint64_t>(offset + i + static_cast<off_t>(step.salt) * 4099) *
            0x9E3779B97F4A7C15ULL;
        const bool byte = step.op == Op::noise || (step.op != Op::zeros && mixed >> 57 == 0);
        room[i] = byte ? static_cast<char>(mixed >> 40 | 1) : '\0';
    }
}

// Applies the step to a, b or both, within each file's size (aligned, for O_DIRECT). A clone where
// the file system cannot reflink is a copy; any other step that it cannot take is left out.
void apply(const Step &step, const std::array<fs::path, 2> &files) {
    for (int k = 0; k < 2; ++k) {
        const int direct = step.op == Op::direct ? O_DIRECT : 0;
        const int fd =
            step.file == 1 - k ? -1 : open(files[k].c_str(), O_RDWR | O_CREAT | direct, 0600);
        struct stat file {};
        if (fstat(fd, &file) != 0) {
            continue;
        }
        const off_t unit = direct != 0 ? 4096 : 1;
        const off_t offset = std::min(step.offset, file.st_size) / unit * unit;
        const off_t most = step.op == Op::noise ? 16 * kib : step.length;
        const off_t length = std::min(most, file.st_size - offset) / unit * unit;
        const std::unique_ptr<char, decltype(&std::free)> room(
            static_cast<char *>(std::aligned_alloc(4096, (length / 4096 + 1) * 4096)), &std::free);
        fill(room.get(), offset, length, step);
        const int from = open(files[1 - k].c_str(), O_RDONLY);
        loff_t source = offset / 4096 * 4096;
        loff_t target = source + step.shift;
        const file_clone_range range{from, static_cast<std::uint64_t>(source),
                                     static_cast<std::uint64_t>(length / 4096 * 4096),
                                     static_cast<std::uint64_t>(target)};
        switch (step.op) {
        case Op::size:
            EXPECT_EQ(ftruncate(fd, step.length), 0);
            break;
        case Op::cut:
            EXPECT_EQ(ftruncate(fd, offset) + ftruncate(fd, file.st_size), 0);
            break;
        case Op::allocate:
            fallocate(fd, 0, offset, length);
            break;
        case Op::punch:
            fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, offset, length);
            break;
        case Op::zero_range:
            fallocate(fd, FALLOC_FL_ZERO_RANGE, offset, length);
            break;
        case Op::clone:
            if (ioctl(fd, FICLONERANGE, &range) != 0) {
                copy_file_range(from, &source, fd, &target, length > 0 ? range.src_length : 1 << 30,
                                0);
            }
            break;
        default:
            EXPECT_EQ(pwrite(fd, room.get(), static_cast<std::size_t>(length), offset), length);
        }
        if (step.sync) {
            fsync(fd);
        }
        close(from);
        close(fd);
    }
}

// Both files sized about one window or two, or between, b at times a whole reflinked copy of a,
// then steps at random, half of them about the end of a window.
std::vector<Step> drawn_layout(unsigned seed) {
    std::mt19937 draw(seed);
    const auto below = [&](off_t bound) { return static_cast<off_t>(draw() % bound); };
    const auto about_a_window = [&] { return (1 + below(2)) * off_t{window_size} - 2 + below(4); };
    const off_t size = below(2) == 0 ? about_a_window() : 2 * mib + below(mib);
    std::vector<Step> steps{{Op::size, 0, 0, size},
                            {Op::size, 1, 0, below(2) == 0 ? about_a_window() : size}};
    if (below(2) == 0) {
        steps.push_back({Op::clone, 1, 0, 0});
    }
    const off_t shifts[] = {0, 4096, 64 * kib};
    for (int n = 0; n < 10; ++n) {
        const off_t offset =
            below(2) == 0 ? about_a_window() : below(size) + below(2) * below(4096);
        steps.push_back({static_cast<Op>(below(drawn_ops)), static_cast<int>(below(3)), offset,
                         1 + below(below(2) == 0 ? 64 * kib : mib), static_cast<unsigned>(below(2)),
                         shifts[below(3)], below(2) == 0});
    }
    if (below(2) == 0) { // written in order, as a file grows: its start written back, then more
        const int file = static_cast<int>(below(2));
        const off_t written = below(size);
        steps.push_back({Op::zeros, file, 0, written, 0, 0, true});
        steps.push_back({Op::cut, file, written, 0});
        steps.push_back({Op::write, file, written + below(size - written), 4096, 1});
    }
    return steps;
}

// Layouts that once went wrong, each compared in the three ways the drawn ones are.
const std::vector<Step> fixed_layouts[] = {
    // A MiB and a byte written into a sparse file and not yet written back, against a hole.
    {{Op::size, 2, 0, 8 * mib}, {Op::write, 1, 3 * mib, mib}, {Op::noise, 1, 5 * mib + 3, 1}},
    // A copy that shares the blocks of a, changed in place: a block written back, bytes not yet.
    {{Op::size, 0, 0, 8 * mib + 5},
     {Op::write, 0, 0, 8 * mib + 5, 0, 0, true},
     {Op::clone, 1, 0, 0},
     {Op::noise, 1, 5 * mib, 4096, 1, 0, true},
     {Op::noise, 1, 3 * mib + 7, 3, 1},
     {Op::noise, 1, 8 * mib, 3, 1}},
    // On erofs (erofs-utils 1.5, lz4 1.9.4), a compressed extent of a whose length runs past its
    // cluster into the blocks of b, just at the offset where b holds other bytes.
    {{Op::size, 0, 0, 3000000},
     {Op::size, 1, 0, 2 * mib + 4096},
     {Op::noise, 0, 2067456, 8192},
     {Op::noise, 1, 2092032, 9216}},
};

// What the test mounts in its directory: images on loop devices, each gone with its device (see
// LoopDevice), and file systems of no device, unmounted before the directory goes.
struct Mounts {
    const Scratch &holder;
    std::list<LoopDevice> devices;
    bool image(const char *image, const char *at, const char *type, const char *options = "") {
        fs::create_directories(holder.dir() / at);
        return devices.emplace_back(holder.dir() / image)
            .mount(holder.dir() / at, type, false, options);
    }
    bool other(const char *type, const char *at, const std::string &options) const {
        fs::create_directories(holder.dir() / at);
        return mount(type, (holder.dir() / at).c_str(), type, 0, options.c_str()) == 0;
    }
    ~Mounts() {
        umount2((holder.dir() / "both").c_str(), MNT_DETACH);
        umount2((holder.dir() / "made").c_str(), MNT_DETACH);
    }
};

// Where a btrfs image keeps what each address of its file system points to, as its chunk tree
// maps the addresses.
std::vector<off_t> in_btrfs(const Scratch &holder, const std::vector<off_t> &addresses) {
    std::string command = "for at in";
    for (const off_t at : addresses) {
        command += " " + std::to_string(at);
    }
    holder.shell(command +
                 "; do btrfs-map-logical -l $at image | awk '/^mirror 1 /{print $6}'; done > at");
    std::istringstream offsets(holder.read("at"));
    return {std::istream_iterator<off_t>(offsets), {}};
}

// a of each layout from the image it was made in, b from a copy of that image with a byte of
// every extent of b changed in place: where b shares the blocks of a, the two now stand at the
// same address of two file systems with other bytes. An address is the offset in the image on XFS;
// btrfs maps its addresses.
bool made_alike(const Mounts &mounts, unsigned layouts, bool mapped) {
    const fs::path &dir = mounts.holder.dir();
    std::vector<off_t> addresses;
    for (unsigned i = 0; i < layouts; ++i) {
        const std::string index = std::to_string(i);
        fs::create_directories(dir / "made/A");
        fs::create_directories(dir / "made/B");
        fs::create_hard_link(dir / "made" / (index + "a"), dir / "made/A" / (index + "a"));
        fs::create_hard_link(dir / "made" / (index + "b"), dir / "made/B" / (index + "b"));
        const int b = open((dir / "made" / (index + "b")).c_str(), O_RDONLY);
        alignas(fiemap) std::array<char, sizeof(fiemap) + 64 * sizeof(fiemap_extent)> room{};
        auto *map = reinterpret_cast<fiemap *>(room.data());
        map->fm_length = FIEMAP_MAX_OFFSET;
        map->fm_flags = FIEMAP_FLAG_SYNC;
        map->fm_extent_count = 64;
        EXPECT_EQ(ioctl(b, FS_IOC_FIEMAP, map) + close(b), 0);
        for (const fiemap_extent &extent : std::span(map->fm_extents, map->fm_mapped_extents)) {
            addresses.push_back(static_cast<off_t>(extent.fe_physical + extent.fe_length / 2));
        }
    }
    const bool copied =
        umount((dir / "made").c_str()) == 0 && mounts.holder.shell("cp --sparse=always image copy");
    const int copy = open((dir / "copy").c_str(), O_RDWR);
    for (const off_t at : mapped ? in_btrfs(mounts.holder, addresses) : addresses) {
        char byte = 0;
        EXPECT_EQ(pread(copy, &byte, 1, at), 1);
        byte ^= 0x20;
        EXPECT_EQ(pwrite(copy, &byte, 1, at), 1);
    }
    close(copy);
    return copied;
}

// Two XFS made alike, through overlayfs with xino=on, which puts them on one device.
bool on_two_disks(Mounts &mounts, unsigned layouts) {
    const fs::path &dir = mounts.holder.dir();
    return made_alike(mounts, layouts, false) && mounts.image("image", "one", "xfs") &&
           mounts.image("copy", "two", "xfs", "nouuid") &&
           mounts.other("overlay", "both",
                        "lowerdir=" + (dir / "one/A").string() + ":" + (dir / "two/B").string() +
                            ",xino=on");
}

// Two btrfs made alike: mounted at once, each gets an fsid of its own. Their data has no checksums
// (nodatasum), which the bytes changed in the copy would fail.
bool on_two_btrfs(Mounts &mounts, unsigned layouts) {
    return made_alike(mounts, layouts, true) && mounts.image("image", "one", "btrfs") &&
           mounts.image("copy", "two", "btrfs");
}

// What a comparison passes over unread on a file system: nothing; holes in both; those and the
// blocks that both share, and so the same file under two names, after a copy of it was made.
enum Unread { reads_all, holes, shared };

struct FileSystem {
    const char *name;
    const char *mkfs; // makes it in the file image, mounted at made; none for tmpfs
    const char *type;
    const char *options = "";
    Unread unread = reads_all;
    // Shows the layouts made in made where they are compared, once all are made; nothing
    // compares each as soon as it is made.
    bool (*publish)(Mounts &mounts, unsigned layouts) = nullptr;
    std::array<const char *, 2> seen{"made/", "made/"}; // where layout i has ia and ib
    const char *log = "l";        // of the same-file run; on another file system, as the same inode
    const char *twin = nullptr;   // compared in that run with a, in place of a itself
    const char *stacked = "true"; // a command that stacks a file system over made, in its place
    uid_t user = 0;               // who compares every other layout but root
};

const char *const xfs = "mkfs.xfs -q -m reflink=1";
const char *const btrfs = "mkfs.btrfs -q";
const char *const by_blocks = "mke2fs -q -F -t ext4 -O ^extent,^64bit";
const char *const overlaid = "mkdir made/l made/u made/w && mount -t overlay o -o "
                             "lowerdir=made/l,upperdir=made/u,workdir=made/w made";

// a from a writable btrfs snapshot, b reflinked into a subvolume, a stretch of each changed.
bool in_subvolumes(Mounts &mounts, unsigned layouts) {
    const fs::path made = mounts.holder.dir() / "made";
    const bool taken = mounts.holder.shell("btrfs subvolume snapshot made made/snap && btrfs "
                                           "subvolume create made/sub && cp --reflink=always "
                                           "made/*[0-9]b made/sub");
    for (unsigned i = 0; taken && i < layouts; ++i) {
        const std::string n = std::to_string(i);
        apply({Op::noise, 2, mib + off_t{i} * 4096, 1, i, 0, i % 2 == 0},
              {made / "snap" / (n + "a"), made / "sub" / (n + "b")});
    }
    return taken;
}

// All made on tmpfs, then packed into an erofs image, compressed with lz4hc.
bool in_erofs(Mounts &mounts, unsigned) {
    return mounts.holder.shell("mkfs.erofs -zlz4hc erofs made") &&
           mounts.image("erofs", "seen", "erofs");
}

const FileSystem file_systems[] = {
    {"tmpfs", nullptr, "tmpfs", "", holes},
    {"ext4", "mke2fs -q -F -t ext4", "ext4", "", holes},
    {"ext4_without_extents", by_blocks, "ext4", "", holes},
    {"ext3_as_ext4", "mke2fs -q -F -t ext3", "ext4", "", holes},
    {"xfs", xfs, "xfs", "", shared},
    {"btrfs", btrfs, "btrfs", "", shared},
    {"btrfs_zstd", btrfs, "btrfs", "compress=zstd", holes},
    {"erofs_lz4hc", nullptr, "tmpfs", "", reads_all, in_erofs, {"seen/", "seen/"}},
    {"overlayfs_over_two_xfs", xfs, "xfs", "", reads_all, on_two_disks, {"both/", "both/"}},
    {"two_xfs_made_alike", xfs, "xfs", "", shared, on_two_disks, {"one/A/", "two/B/"}, "two/A/4a"},
    {"two_btrfs_made_alike", btrfs, "btrfs", "nodatasum", shared, on_two_btrfs, {"one/", "two/"}},
    {.name = "overlayfs_over_ext4_without_extents",
     .mkfs = by_blocks,
     .type = "ext4",
     .stacked = overlaid,
     .user = 65534},
    {.name = "btrfs_snapshot_and_subvolume",
     .mkfs = btrfs,
     .type = "btrfs",
     .unread = shared,
     .publish = in_subvolumes,
     .seen = {"made/snap/", "made/sub/"},
     .twin = "made/4a"},
};

class EveryFileSystem : public testing::TestWithParam<FileSystem> {};
void PrintTo(const FileSystem &made_as, std::ostream *out) { *out << made_as.name; }

// Every layout is compared as it is (the page cache counted by cachestat), with cachestat failing
// (the file written back first), with the write-back failing too (holes read as data), and on a
// file system that places data only when it writes it back, whose lseek finds no data at all
// before the check for waiting pages.
TEST_P(EveryFileSystem, ReportsAsReadingEveryByte) {
    const FileSystem &made_as = GetParam();
    if (!enter_private_mounts()) {
        GTEST_SKIP() << "no mount namespace of the test's own here";
    }
    const Scratch holder;
    Mounts mounts{holder, {}};
    if (made_as.mkfs == nullptr
            ? !mounts.other(made_as.type, "made", made_as.options)
            : !holder.shell(std::string("truncate -s 1G image && ") + made_as.mkfs + " image") ||
                  !mounts.image("image", "made", made_as.type, made_as.options) ||
                  !holder.shell(made_as.stacked)) {
        GTEST_SKIP() << "no " << made_as.name << " could be made and mounted here";
    }
    fs::permissions(holder.dir().parent_path(), fs::perms(0711)); // for made_as.user
    holder.put("l", "");
    fs::permissions(holder.dir() / "l", fs::perms(0666));
    // Owned by the other user, as a log of one's own is: whether a loop device reads it is then
    // asked of the log, not of every loop device of the machine.
    ASSERT_EQ(chown((holder.dir() / "l").c_str(), made_as.user, made_as.user), 0);
    const char *given = std::getenv("PAIRSCAN_LAYOUT_SEED");
    const unsigned seed = given != nullptr ? std::stoul(given) : std::random_device()();
    const std::string failing[] = {"", "cachestat", "cachestat,sync_file_range", "unplaced_data"};
    const unsigned ways = std::size(failing);
    const unsigned fixed = ways * std::size(fixed_layouts);
    const char *drawn = std::getenv("PAIRSCAN_DRAWN_LAYOUTS"); // fewer where each run is slow
    const unsigned layouts = fixed + (drawn != nullptr ? std::stoul(drawn) : 51);
    const auto check = [&](unsigned i) {
        const std::string a = made_as.seen[0] + std::to_string(i) + "a";
        const std::string b = made_as.seen[1] + std::to_string(i) + "b";
        RunOptions options =
            i % ways == 0 ? RunOptions{} : with_fault("PAIRSCAN_FAILING=" + failing[i % ways]);
        options.user = i / ways % 2 == 1 ? made_as.user : 0;
        const auto cached = [&] { return holder.pages_cached(a) + holder.pages_cached(b); };
        const unsigned long long before = cached();
        const ToolRun run = holder.run({a, b, "l"}, options);
        const unsigned long long brought_in = cached() - before;
        const std::string a_bytes = holder.read(a);
        const std::string b_bytes = holder.read(b);
        SCOPED_TRACE(std::string(made_as.name) + ", PAIRSCAN_LAYOUT_SEED=" + std::to_string(seed) +
                     ", layout " + std::to_string(i) + ", failing " + failing[i % ways] +
                     ", user " + std::to_string(options.user));
        // Not EXPECT_EQ: a diff of two long reports, line by line, would take hours.
        EXPECT_TRUE(run.out ==
                    banner + announcement(false, a, b, "l") +
                        report_body(a_bytes, b_bytes, Reports::mismatches, Stream::console, a, b));
        EXPECT_TRUE(holder.read("l") ==
                    log_head(a, b) +
                        report_body(a_bytes, b_bytes, Reports::mismatches, Stream::log, a, b) +
                        trailer);
        EXPECT_EQ(run.status, 0) << run.err;
        // All that was written where it is compared is in the page cache: the holes in both of the
        // first layout, once written back, and the shared blocks of the second stay unread.
        if (made_as.publish == nullptr && (i == 1 || i == ways) &&
            made_as.unread >= (i == 1 ? holes : shared)) {
            EXPECT_EQ(brought_in, 0U) << "pages brought in that both files hold alike";
        }
        // a of the copy, written and written back, with the first window mapped past the start
        // (one of each input, and the zeros) unreadable; verbose mode reads every byte of it.
        if (i == ways) {
            const std::string twin = made_as.twin != nullptr ? made_as.twin : a;
            EXPECT_EQ(
                holder.run({a, twin, made_as.log}, with_fault("PAIRSCAN_FAIL=mmap:4:EIO")).status ==
                    0,
                made_as.unread == shared);
            RunOptions verbose = with_fault("PAIRSCAN_FAIL=mmap:2:EIO");
            verbose.out = Stdout::null_device;
            EXPECT_EQ(holder.run({a, a, "/dev/null", "v"}, verbose).status, 2);
        }
    };
    for (unsigned i = 0; i < layouts; ++i) {
        const std::string index = std::to_string(i);
        for (const Step &step : i < fixed ? fixed_layouts[i / ways] : drawn_layout(seed + i)) {
            apply(step,
                  {holder.dir() / "made" / (index + "a"), holder.dir() / "made" / (index + "b")});
        }
        // Their change times now differ from their modification times: that alone is no change.
        for (const char *file : {"a", "b"}) {
            fs::permissions(holder.dir() / "made" / (index + file), fs::perms(0444));
        }
        if (made_as.publish == nullptr) {
            check(i);
        }
    }
    if (made_as.publish != nullptr && !made_as.publish(mounts, layouts)) {
        GTEST_SKIP() << "no " << made_as.name << " could be made and mounted here";
    }
    for (unsigned i = 0; i < layouts && made_as.publish != nullptr; ++i) {
        check(i);
    }
}

INSTANTIATE_TEST_SUITE_P(Layout, EveryFileSystem, testing::ValuesIn(file_systems),
                         [](const testing::TestParamInfo<FileSystem> &row) {
                             return std::string(row.param.name);
                         });

} // namespace

// Only extents that both files mark as shared, at one address, and whose flags say nothing
// against their blocks count as shared; for one file, every such extent does.
TEST(Layout, SharedOnlyWhereBothSayShared) {
    const auto extent = [](std::uint64_t logical, std::uint64_t physical, std::uint32_t flags) {
        fiemap_extent made{};
        made.fe_logical = logical;
        made.fe_physical = physical;
        made.fe_length = 16384;
        made.fe_flags = flags;
        return made;
    };
    const std::uint64_t same = (1 << 20) - 4096; // where the second extent, from 0, has 4096
    const fiemap_extent plain = extent(4096, 1 << 20, 0);
    const fiemap_extent marked = extent(4096, 1 << 20, FIEMAP_EXTENT_SHARED);
    const fiemap_extent trusted =
        extent(0, same, FIEMAP_EXTENT_SHARED | FIEMAP_EXTENT_LAST | FIEMAP_EXTENT_MERGED);
    const struct {
        fiemap_extent first, second;
        SharedBlocks shared;
        bool same;
    } cases[] = {
        {marked, trusted, SharedBlocks::marked_in_both, true},
        {marked, trusted, SharedBlocks::none, false},
        {plain, trusted, SharedBlocks::marked_in_both, false},
        {plain, extent(0, same, 0), SharedBlocks::all, true},
        {marked, extent(0, 1 << 20, FIEMAP_EXTENT_SHARED), SharedBlocks::all, false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(same_blocks(&c.first, &c.second, 8192, c.shared), c.same);
        EXPECT_EQ(same_blocks(&c.second, &c.first, 8192, c.shared), c.same);
    }
    for (const std::uint32_t flags :
         {FIEMAP_EXTENT_UNKNOWN, FIEMAP_EXTENT_DELALLOC, FIEMAP_EXTENT_ENCODED,
          FIEMAP_EXTENT_DATA_ENCRYPTED, FIEMAP_EXTENT_NOT_ALIGNED, FIEMAP_EXTENT_DATA_INLINE,
          FIEMAP_EXTENT_DATA_TAIL, FIEMAP_EXTENT_UNWRITTEN}) {
        const fiemap_extent untrusted = extent(0, same, flags | FIEMAP_EXTENT_SHARED);
        EXPECT_FALSE(same_blocks(&marked, &untrusted, 8192, SharedBlocks::all)) << flags;
        EXPECT_FALSE(same_blocks(&untrusted, &marked, 8192, SharedBlocks::all)) << flags;
    }
    EXPECT_FALSE(same_blocks(&marked, nullptr, 8192, SharedBlocks::all));
    // One btrfs, whatever subvolume; one XFS device, data or realtime; nothing where not learnt.
    const BlockSpace on_btrfs{BTRFS_SUPER_MAGIC, {1}, false};
    const BlockSpace on_xfs{XFS_SUPER_MAGIC, {1}, false};
    EXPECT_EQ(shared_blocks(on_btrfs, on_btrfs, false), SharedBlocks::marked_in_both);
    EXPECT_EQ(shared_blocks(on_xfs, on_xfs, true), SharedBlocks::all);
    EXPECT_EQ(shared_blocks(on_btrfs, BlockSpace{BTRFS_SUPER_MAGIC, {2}, false}, true),
              SharedBlocks::none);
    EXPECT_EQ(shared_blocks(on_xfs, BlockSpace{XFS_SUPER_MAGIC, {1}, true}, true),
              SharedBlocks::none);
    EXPECT_EQ(shared_blocks(on_xfs, std::nullopt, true), SharedBlocks::none);
    // Stacked file systems answer lseek from the file beneath, and cachestat from their own cache.
    for (const long type :
         std::initializer_list<long>{OVERLAYFS_SUPER_MAGIC, FUSE_SUPER_MAGIC, NFS_SUPER_MAGIC,
                                     ECRYPTFS_SUPER_MAGIC, SQUASHFS_MAGIC, 0}) {
        EXPECT_FALSE(finds_its_own_holes(type)) << type;
    }
}

// Positions past 4 GiB, on sparse files: exact, with no 32-bit wrap, and the right verdict.
TEST(Layout, PositionsPastFourGibibytes) {
    const Scratch scratch;
    std::ofstream(scratch.dir() / "zeros").close();
    fs::resize_file(scratch.dir() / "zeros", five_gib);
    std::ofstream marked(scratch.dir() / "marked");
    marked.seekp(past_4_gib - 1) << 'x';
    marked.seekp(five_gib - 1) << 'y';
    marked.close();
    std::ofstream(scratch.dir() / "shorter").close();
    fs::resize_file(scratch.dir() / "shorter", five_gib - 1);

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
