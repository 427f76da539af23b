// Every moment an input can be cut short or rewritten: each run checked against the byte-by-byte
// reference of the file as it was or as it is.

#include "sweep_common.hpp"

#include <gtest/gtest.h>

#include "private_mounts.hpp"

#include <algorithm>
#include <map>

namespace fs = std::filesystem;
using namespace expect;

namespace {

// At steps of a run on input a (a window, a probe, a look at its layout, a report line), the file
// cut to each size that matters, or rewritten: the change is reported, no pair past a new end is
// taken for the file's, and every pair before it is exact. A file renamed over by a rewritten copy
// keeps the bytes the run opened, and is no change unless its mode changed too; a new mode, group
// or name alone is one, as it could hide a rewrite whose modification time was put back.
void expect_every_change_seen(const fs::path &under, const Scenario &scenario,
                              const std::vector<std::string> &changes, bool every_step) {
    const Scratch scratch(under);
    const std::string path = (fs::canonical(scratch.dir()) / "a").string();
    const auto [base, counted] = run_once(scratch, scenario, "PAIRSCAN_CUT=" + path + ":0:0");
    const Reference expected(scenario.args, scenario.a, scenario.b);
    SCOPED_TRACE(std::string(scenario.what) + " in " + under.string());
    ASSERT_EQ(base.out, expected.whole(true));
    EXPECT_EQ(counted.brought_in, 0U) << "holes in both read";
    EXPECT_EQ(counted.file_reads, 0U) << "read(2) calls on a mapped file";
    const unsigned long steps = counted.calls.back();
    std::map<std::size_t, Reference> cuts; // the file cut short at each end, as the run reads it
    const auto cut = [&](std::size_t end) -> const Reference & {
        return cuts.try_emplace(end, scenario.args, scenario.a.substr(0, end), scenario.b)
            .first->second;
    };
    for (const std::string &change : changes) {
        std::string changed = scenario.a;
        if (change.starts_with("rewrite")) {
            changed.replace(2200000, 10, "REWRITTEN!");
        } else if (change.find_first_not_of("0123456789") == std::string::npos) {
            changed.resize(std::stoul(change));
        }
        const Reference as_changed(scenario.args, changed, scenario.b);
        for (unsigned long k = every_step ? 1 : steps / 2; k <= (every_step ? steps : steps / 2);
             ++k) {
            const std::string setting = (path + ":").append(std::to_string(k) + ":").append(change);
            const auto [tool, notes] = run_once(scratch, scenario, "PAIRSCAN_CUT=" + setting);
            SCOPED_TRACE(setting + ", " + notes.cut);
            const std::string log = scratch.read("l");
            // As it was when the run opened it, or as it is; a file cut short ends where it was
            // cut, or where the pairs read before the cut (their lines written or being written
            // then) end.
            const bool open = notes.cut == "open";
            const bool renamed = change.starts_with("rewrite-renamed-over");
            const bool seen_changed = open && change != "rewrite-renamed-over";
            std::vector<const Reference *> as_read{notes.cut == "before" ? &as_changed : &expected};
            if (renamed && notes.cut == "before") {
                as_read.push_back(&expected); // opened already, but not yet looked at
            } else if (seen_changed && change.starts_with("rewrite")) {
                as_read.push_back(&as_changed);
            } else if (seen_changed) {
                as_read = {&cut(std::min(changed.size(), scenario.a.size()))};
                for (const Pair &reported : expected.outcome.pairs) {
                    const std::size_t end = std::get<2>(reported);
                    if (end > changed.size() &&
                        base.out.find(expected.line(reported, true)) <= notes.out) {
                        as_read.push_back(&cut(end));
                    }
                }
            }
            EXPECT_EQ(tool.err, seen_changed ? "pairscan: a: file changed as it was read\n" : "");
            EXPECT_EQ(tool.status, seen_changed ? 2 : 0);
            EXPECT_TRUE(std::any_of(as_read.begin(), as_read.end(),
                                    [&, &out = tool.out](const Reference *as) {
                                        return out == as->whole(true) && log == as->whole(false);
                                    }))
                << "standard output:\n"
                << tool.out.substr(0, 2000) << "\nlog:\n"
                << log.substr(0, 2000);
        }
    }
}

} // namespace

// Also on tmpfs, and on a file system that keeps whole seconds, where a change in the same second
// as the open is still seen by the size, and one in a later second by its times (needs root and
// loop devices).
TEST(Sweep, EveryChangeAtEveryStep) {
    expect_every_change_seen(fs::temp_directory_path(), by_layout(),
                             {"0", "50", "4096", "1052672", "2097102", "2097152", "2297142",
                              "2398152", "rewrite", "rewrite-old-time", "rewrite-renamed-over",
                              "rewrite-renamed-over-chmod", "chmod", "chgrp", "unlink-chgrp",
                              "link"},
                             true);
    expect_every_change_seen("/dev/shm", by_layout(), {"rewrite"}, false);
    const Scratch holder;
    fs::create_directory(holder.dir() / "mnt");
    const bool made = holder.shell("mke2fs -q -F -t ext2 -I 128 image 16M");
    LoopDevice device(holder.dir() / "image");
    if (!enter_private_mounts() || !made || !device.mount(holder.dir() / "mnt", "ext2")) {
        GTEST_SKIP() << "no ext2 file system could be made and mounted here";
    }
    expect_every_change_seen(holder.dir() / "mnt", by_layout(),
                             {"2398152", "rewrite", "rewrite-old-time"}, false);
}
