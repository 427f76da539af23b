// Stacks of storage generated from their parts by seeded draws. At sampled output places the
// guard's verdict is held against what a real write there does to the bytes the inputs read:
// refused where it changes them, with every file as it was, and run in full elsewhere. Through
// FUSE, which shows no identity of the file beneath, a refusal is allowed as well.

#include "built_stack.hpp"
#include "expected_texts.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <ctime>
#include <fstream>
#include <iostream>
#include <optional>
#include <random>
#include <sstream>

namespace fs = std::filesystem;
using Bytes = std::optional<std::string>;
using Marks = std::vector<std::pair<std::string, std::string>>;

namespace {

// A part a line: its name; its image, made from the directory @S into @O of @K KB; the lines,
// split at '|', that mount it from @I (the item @Y of the directory @T below) on @M, its loop
// devices being @1, @2, @3. A part with no image is a layer over @T. An ext2 mounted read-write
// (@R) is kept from late writes of its own; btrfs, too big to nest, comes only at the bottom.
const std::string table = R"(ext2;@E @O @KK;attach @I|@R @1 @M
ext2-ro;@E @O @KK;attach-ro @I|mkdir @M && mount -o ro @1 @M
ext2-offset;@E -E offset=1048576 @O @KK;attach @I 1048576|@R @1 @M
partition;@E -E offset=1048576 @O @KK;attach-parts @I|addpart @1 1 2048 @N|@P && @R @1p1 @M
btrfs2;@B;attach @I|attach @Ib|mkdir @M && mount -o device=@2@C
btrfs3;@B @Oc;attach @I|attach @Ib|attach @Ic|mkdir @M && mount -o device=@2,device=@3@C
erofs;mkfs.erofs @O @S;mkdir @M|erofs @I @M
squashfs;mksquashfs @S @O -no-fragments -quiet;attach-ro @I|mkdir @M && mount -o ro @1 @M
overlay;;@X && mount -t overlay o -o lowerdir=@L@T,@V @M|@Z
datadir;;@X @t @s @d && @D && mount -t overlay o -o lowerdir=@L@d::@T,@V,metacopy=on @M|@Z
bindfs;;mkdir @M|bindfs @T @M
bind;;mkdir @M && mount --bind @T @M)";
const Marks macros{
    {"@E", "mke2fs -q -F -t ext2 -d @S"},
    {"@R", "mkdir @M && mount -o noatime,noinit_itable"},
    {"@B", "truncate -s 100M @O @Ob @Oc && mkfs.btrfs -q -M -d raid0 -m raid0 @O @Ob"},
    {"@C", " @1 @M && cp -a @S/. @M"},
    {"@P", "n=$(basename @1) && rm -f @1p1 && mknod @1p1 b $(tr : ' ' </sys/block/$n/${n}p1/dev)"},
    {"@N", "$(($(stat -c %s @I) / 512 - 2048))"}, // sectors past the first megabyte
    {"@D", "mount -t overlay o -o lowerdir=@T,upperdir=@d,workdir=@t,metacopy=on @s && mkdir "
           "@s/@d && mv @s/@Y @s/@d && umount @s"}}; // @Y, moved: its data only in @T below
using Part = std::array<std::string, 3>;             // name, image, mount

std::string at(const std::string &name, std::size_t k) { return name + std::to_string(k); }

std::string fill(std::string text, Marks marks) {
    marks.insert(marks.begin(), macros.begin(), macros.end());
    for (const auto &[mark, value] : marks) {
        for (auto at = text.find(mark); at != std::string::npos; at = text.find(mark, at)) {
            text.replace(at, mark.size(), value);
        }
    }
    return text;
}

// A generated stack: its parts and build lines, the file at its top, the images and loop devices of
// read-only parts (which no file system writes) that may be read instead, and the directories a
// new output may go to.
struct Plan {
    std::vector<Part> parts;
    std::vector<std::string> lines, inputs, dirs{"."};
    std::string top;
    int loops = 0;
};

// The lines of part k, made in the directory top whose item pay it takes: then its own.
void mount_part(Plan &plan, std::size_t k, const std::string &held, std::string &top,
                std::string &pay, std::mt19937 &rng) {
    const auto &[name, image, mount] = plan.parts[k - 1];
    const std::string m = at("m", k), u = at("u", k), w = at("w", k), d = at("d", k);
    const std::string moved = name == "datadir" ? d + "/" + pay.substr(pay.rfind('/') + 1) : pay;
    std::string lowers, made = "mkdir " + u + " " + w + " " + m;
    for (std::size_t j = rng() % 4 == 0 ? 9 : rng() % 3; j > 0; --j) { // sometimes many lowers
        lowers += at(at("x", k) + "_", j) + ":";
        made += " " + at(at("x", k) + "_", j);
    }
    const unsigned flags = rng(); // a copy-up, which leaves the data below where metacopy is on
    const Marks marks{{"@Z", std::array{"", "chmod 600 @M/@y", "mv @M/@y @M/@y.r", ""}[flags % 4]},
                      {"@X", made},
                      {"@L", lowers},
                      {"@V", "upperdir=" + u + ",workdir=" + w +
                                 ((flags & 4) != 0 ? ",metacopy=on" : "") +
                                 ((flags & 8) != 0 ? ",redirect_dir=on" : "")},
                      {"@I", top + "/" + pay},
                      {"@Y", pay},
                      {"@y", moved},
                      {"@T", top},
                      {"@M", m},
                      {"@S", held},
                      {"@d", d},
                      {"@t", at("t", k)},
                      {"@s", at("s", k)},
                      {"@1", at("$L", plan.loops + 1)},
                      {"@2", at("$L", plan.loops + 2)},
                      {"@3", at("$L", plan.loops + 3)}};
    std::istringstream lines(mount);
    for (std::string line; std::getline(lines, line, '|');) {
        plan.lines.push_back(fill(line, marks));
        plan.loops += line.starts_with("attach") ? 1 : 0;
    }
    std::erase(plan.lines, ""); // where no copy-up was drawn
    if (mount.find("-o ro") != std::string::npos && mount.starts_with("attach")) { // unchanging
        plan.inputs.insert(plan.inputs.end(), {top + "/" + pay, at("$L", plan.loops)});
    }
    pay = moved;
    const bool layered = mount.find("@Z") != std::string::npos; // an overlay
    pay += flags % 4 == 2 && layered ? ".r" : "";
    plan.dirs.insert(plan.dirs.end(), {top, layered ? u : top});
    top = m;
}

std::vector<Part> parse_table() {
    std::vector<Part> all;
    std::istringstream lines(table);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        Part &part = all.emplace_back();
        std::getline(std::getline(std::getline(fields, part[0], ';'), part[1], ';'), part[2]);
    }
    return all;
}
const std::vector<Part> parts = parse_table();

// One to three parts, each made in the one below: the images from the top down (each holds the
// next image, the topmost the inputs), then all mounted from the bottom up.
Plan plan_stack(std::mt19937 &rng, std::size_t kb) {
    Plan plan;
    for (bool writable = true; plan.parts.size() < 3 && (plan.parts.empty() || rng() % 2 != 0);) {
        const Part &part = parts[rng() % parts.size()];
        const bool read_only = part[2].find("-o ro") != std::string::npos || part[0] == "erofs";
        if ((plan.parts.empty() || !part[0].starts_with("btrfs")) &&
            (writable || read_only || part[1].empty())) { // or a loop device writes the image
            plan.parts.push_back(part);
            writable = part[1].empty() ? writable || part[0].find("bind") != 0 : !read_only;
        }
    }
    const std::size_t n = plan.parts.size();
    std::vector<std::string> held(n + 1, at("st", n)); // where each part's content stands
    for (std::size_t k = n; k > 0; --k) {
        held[k - 1] = plan.parts[k - 1][1].empty() ? held[k] : at("st", k - 1);
        if (held[k - 1] != held[k]) {
            plan.lines.push_back(
                "mkdir " + held[k - 1] + " && " +
                fill(plan.parts[k - 1][1], {{"@S", held[k]},
                                            {"@O", held[k - 1] + at("/i", k)},
                                            {"@K", std::to_string(2 * kb + 2048)}}));
            kb = 2 * kb + 3200;
        }
    }
    const auto next = [&](std::size_t k) { // the name of the image above part k
        while (k < n && plan.parts[k][1].empty()) {
            ++k;
        }
        return k < n ? at("i", k + 1) : std::string("a");
    };
    std::string top = held[0], pay = next(0);
    for (std::size_t k = 1; k <= n; ++k) {
        mount_part(plan, k, held[k], top, pay, rng);
        pay = plan.parts[k - 1][1].empty() ? pay : next(k);
    }
    plan.dirs.push_back(top);
    plan.top = top + "/" + pay;
    return plan;
}

void settle() {
    for (int layer = 0; layer < 3; ++layer) {
        sync(); // layer by layer, so that nothing reaches an image later
    }
}

// A place as the oracle found it: its pieces of 64 KB that hold more than zeros, so that a sparse
// image costs little (or its first piece). A new file (made) is made, written, and removed.
struct Saved {
    fs::path path;
    bool made;
    off_t size = 0;
    std::vector<std::pair<off_t, std::string>> pieces{};
};

// Opened to write as the tool opens its output; nullopt where it cannot be.
std::optional<Saved> save(const fs::path &path, bool made) {
    Saved saved{path, made};
    const int fd = open(path.c_str(), made ? O_WRONLY | O_CREAT | O_EXCL : O_RDWR, 0644);
    std::string piece(65536, '\0');
    for (ssize_t got = 0; fd >= 0 && (got = pread(fd, piece.data(), piece.size(), saved.size)) > 0;
         saved.size += got) {
        if (piece.find_first_not_of('\0') < static_cast<std::size_t>(got)) {
            saved.pieces.emplace_back(saved.size, piece.substr(0, static_cast<std::size_t>(got)));
        }
    }
    piece.assign(saved.size == 0 ? piece.size() : std::min<std::size_t>(saved.size, piece.size()),
                 '\0');
    saved.pieces.resize(std::max<std::size_t>(saved.pieces.size(), 1), {0, piece}); // zeros, too
    return fd >= 0 && close(fd) == 0 ? std::optional(saved) : std::nullopt;
}

// Writes the pieces over the place, flipped or as they were (then cut to its size), after
// emptying it where a run wrote it.
void put_back(const Saved &saved, bool flipped, bool emptied = false) {
    const int fd = saved.made && !flipped ? -1 : open(saved.path.c_str(), O_WRONLY);
    bool done = fd >= 0 && (!emptied || ftruncate(fd, 0) == 0);
    for (auto [at, bytes] : saved.pieces) {
        std::for_each(bytes.begin(), bytes.end(),
                      [&](char &c) { c = static_cast<char>(flipped ? ~c : c); });
        done = done && pwrite(fd, bytes.data(), bytes.size(), at) == std::ssize(bytes);
    }
    done = done && (flipped || ftruncate(fd, saved.size) == 0);
    done =
        saved.made && !flipped ? fs::remove(saved.path) : done && fsync(fd) == 0 && close(fd) == 0;
    EXPECT_TRUE(done) << saved.path;
}

// What an input reads now past the page caches: its own first (a loop device's may hold what was
// read while its image was flipped), then those of the files given. Nullopt on an error.
Bytes fresh(const fs::path &input, std::vector<fs::path> files) {
    files.insert(files.begin(), input);
    for (const fs::path &file : files) {
        const int fd = open(file.c_str(), O_RDONLY | O_NONBLOCK);
        posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        close(fd);
    }
    try {
        std::ifstream in(input, std::ios::binary);
        return std::string{std::istreambuf_iterator<char>(in), {}};
    } catch (const std::ios_base::failure &) { // an error reading it
        return std::nullopt;
    }
}

struct Sweep {
    const Scratch &scratch;
    std::string name, top;
    std::vector<fs::path> files{}, devices{}; // under the work directory; and its loop devices
};

// The tool's run with the log at the place (mode 0) or standard output there, opened >> (1) or
// 1<> (2), held against the oracle's verdict; false where it harmed an input.
bool run_case(const Sweep &sweep, const std::string &input, const Saved &saved, int mode,
              const std::array<std::string, 2> &read, bool changed) {
    const fs::path &dir = sweep.scratch.dir();
    const std::string place = saved.path.lexically_relative(dir), log = mode == 0 ? place : "l";
    RunOptions options{.out = mode == 0 ? Stdout::captured : Stdout::work_file,
                       .stdout_file = place,
                       .stdout_appends = mode == 1,
                       .stdout_read_write = mode == 2,
                       .seconds = 10};
    if (saved.made && mode == 1) {
        std::ofstream made(saved.path); // by the shell that opens it
        made.close();
        settle();
    }
    auto before = every_file(dir);
    const ToolRun run = sweep.scratch.run({input, "f", log}, options);
    const std::string what = sweep.name + ": " + input + " f " + log +
                             std::array{"", " >>", " 1<>"}[mode] + (mode == 0 ? "" : place) + ": ";
    if (run.status == 2 && run.err.starts_with("pairscan: ") &&
        std::count(run.err.begin(), run.err.end(), '\n') == 1) {
        EXPECT_TRUE(changed || sweep.name.find("bindfs") != std::string::npos)
            << what << "over-refusal: " << run.err;
        auto after = every_file(dir);
        for (const char *member : {"i1", "i1b", "i1c"}) { // btrfs, at the bottom, commits at will
            before.erase(sweep.name.find(" btrfs") == std::string::npos ? ""
                                                                        : dir / "st0" / member);
            after.erase(sweep.name.find(" btrfs") == std::string::npos ? "" : dir / "st0" / member);
        }
        EXPECT_TRUE(after == before) << what << "every file as it was";
        return true;
    }
    EXPECT_FALSE(changed) << what << "DANGER: run, though a write there changes an input";
    EXPECT_EQ(run.err + std::to_string(run.status), "0") << what;
    EXPECT_TRUE(changed ||
                sweep.scratch.read(log) ==
                    expect::log_head(input, "f") +
                        expect::report_body(read[0], read[1], expect::Reports::mismatches,
                                            expect::Stream::log, input, "f") +
                        expect::trailer)
        << what << "the whole report";
    put_back(saved, false, true);
    fs::remove(dir / "l");
    return !changed;
}

// The oracle: a write over the place, the inputs read past the caches, the place restored; then
// the run. False where the run harmed an input.
bool check_case(const Sweep &sweep, const std::string &input, const std::string &place, int mode) {
    const fs::path &dir = sweep.scratch.dir(); // a loop device's name is absolute
    const Bytes a = fresh(dir / input, sweep.files), b = fresh(dir / "f", sweep.files);
    const std::optional<Saved> saved = save(dir / place, place.ends_with("/new.log"));
    if (!saved || !a || !b) {
        return true; // a read-only place
    }
    put_back(*saved, true);
    const bool changed = fresh(dir / input, sweep.files) != a || fresh(dir / "f", sweep.files) != b;
    put_back(*saved, false);
    settle();
    // Nothing cached may keep what was read while the place was flipped: the file systems read on.
    const Bytes back = fresh(dir / input, sweep.devices);
    EXPECT_TRUE(saved->made || input != sweep.top || back == a) << sweep.name << ": " << place;
    return run_case(sweep, input, *saved, mode, {*a, *b}, changed);
}

// A sample of the places: each file as the log and as standard output, a new file in each
// directory of a part or layer; each with the file at the top or an image or device below.
void check_sample(Sweep &sweep, const Plan &plan, const BuiltStack &built, std::mt19937 &rng) {
    std::vector<std::pair<std::string, int>> places;
    for (const auto &[file, hash] : every_file(sweep.scratch.dir())) {
        sweep.files.push_back(file);
        for (int mode = 0; mode < 3; ++mode) {
            places.emplace_back(file.lexically_relative(sweep.scratch.dir()), mode);
        }
    }
    for (const std::string &dir : plan.dirs) {
        places.insert(places.end(), {{dir + "/new.log", 0}, {dir + "/new.log", 1}});
    }
    sweep.devices = sweep.files;
    for (int k = 1; k <= plan.loops; ++k) {
        sweep.devices.insert(sweep.devices.begin(),
                             {built.expand(at("$L", k)), built.expand(at("$L", k) + "p1")});
    }
    std::shuffle(places.begin(), places.end(), rng);
    sweep.top = plan.top;
    for (std::size_t k = 0; k < std::min<std::size_t>(places.size(), 10); ++k) {
        const bool top = plan.inputs.empty() || rng() % 3 != 0;
        const std::string input = top ? plan.top : plan.inputs[rng() % plan.inputs.size()];
        if (!check_case(sweep, built.expand(input), places[k].first, places[k].second)) {
            break; // the stack may be harmed
        }
    }
}

// Builds one generated stack, checks a sample of its places, and sees it all unmounted.
void sweep_stack(std::mt19937 &rng, const std::string &label, std::size_t &stacks) {
    const Scratch scratch;
    std::string a(262144 + rng() % 65536, '\0'); // over 256 KB: in each btrfs member
    std::generate(a.begin(), a.end(), [&] { return static_cast<char>(rng()); });
    const Plan plan = plan_stack(rng, a.size() / 1024 + 8);
    const std::string inputs = at("st", plan.parts.size());
    fs::create_directory(scratch.dir() / inputs);
    scratch.put(inputs + "/a", a);
    scratch.put(inputs + "/b", a.substr(0, 4096));
    scratch.put("f", a.substr(0, 60) + "abcd"); // a few mismatches, and shorter
    Sweep sweep{scratch, label, ""};
    for (const Part &part : plan.parts) {
        sweep.name += " " + part[0];
    }
    {
        BuiltStack built(scratch);
        const auto failed =
            std::find_if(plan.lines.begin(), plan.lines.end(),
                         [&](const std::string &line) { return !built.build(line); });
        std::cout << (failed == plan.lines.end() ? "stack "
                                                 : "skipped, as this machine cannot make it: ")
                  << sweep.name << (failed == plan.lines.end() ? "" : " (" + *failed + ")") << "\n";
        if (failed == plan.lines.end()) {
            ++stacks;
            check_sample(sweep, plan, built, rng);
        }
    }
    std::ifstream mounts("/proc/self/mountinfo");
    for (std::string line; std::getline(mounts, line);) {
        EXPECT_EQ(line.find(" " + scratch.dir().string() + "/"), std::string::npos) << line;
    }
}

} // namespace

TEST(StackSweep, GuardAgreesWithRealWrites) {
    if (!enter_private_mounts()) {
        GTEST_SKIP() << "no mount namespace of the test's own here";
    }
    std::vector<unsigned long> seeds{1, 2, 3, 5, 8, 13, 21, 34};
    const char *given = std::getenv("PAIRSCAN_SEED");
    seeds.push_back(given != nullptr ? std::stoul(given) : std::time(nullptr) % 100000);
    std::cout << "seed of this run: PAIRSCAN_SEED=" << seeds.back() << "\n";
    std::size_t stacks = 0;
    for (const unsigned long seed : seeds) {
        std::mt19937 rng(seed);
        for (int stack = 0; stack < 3; ++stack) {
            sweep_stack(rng, "seed " + std::to_string(seed) + "." + std::to_string(stack), stacks);
        }
    }
    if (stacks == 0) {
        GTEST_SKIP() << "no stack could be built here";
    }
}
