// Every call the tool makes, answered in every way the system can answer it, and every moment an
// input can be cut short or rewritten: each run checked for the same few promises against the
// byte-by-byte reference.

#include "private_mounts.hpp"
#include "sweep_common.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <map>
#include <sstream>

namespace fs = std::filesystem;
using namespace expect;

namespace {

// The kinds of call, in the fault library's order, and how each can be answered.
const std::vector<std::pair<const char *, const char *>> kinds{
    {"write", "EFBIG EPIPE 0 half+ENOSPC EINTR EAGAIN half STOP half+STOP"},
    {"writev", "EFBIG EPIPE 0 half+ENOSPC EINTR EAGAIN half STOP half+STOP"},
    {"read", "EIO EINTR EAGAIN 1 half STOP half+STOP"},
    {"close", "EIO EINTR STOP"},
    {"ftruncate", "EIO EINTR STOP"},
    {"open", "EIO EINTR STOP"},
    {"fstat", "EIO TERM"},
    {"mmap", "ENOMEM EIO TERM"},
    {"lseek", "EIO TERM"},
    {"ioctl", "EIO EINTR STOP"},
    {"ppoll", "ENOMEM EINTR STOP"}};

// The diagnostics of a run, by the file they name; each line must name one file of the run, once.
std::map<std::string, std::string> diagnostics(const std::string &err, const Args &args) {
    std::map<std::string, std::string> said;
    std::istringstream lines(err);
    for (std::string line; std::getline(lines, line);) {
        std::string name = "?";
        for (const std::string &file :
             {args[0], args[1], args[2], std::string("standard output")}) {
            name =
                line.starts_with(std::string("pairscan: ").append(file).append(": ")) ? file : name;
        }
        EXPECT_TRUE(name != "?" && said.emplace(name, line.substr(12 + name.size())).second)
            << "not one line for one file: " << line;
    }
    EXPECT_TRUE(err.empty() || err.back() == '\n') << err;
    return said;
}

// The promises of a run whose call got the answer: an end by the stop signal after the line being
// written, or status 0 with nothing on standard error and both outputs whole, or status 2 with one
// line for each file that failed, giving the answer's reason. An output that failed holds exactly
// what it took (whole lines, or a log left as it was), the other one the whole report as the
// inputs gave it; an input that failed ends the report where it failed.
void expect_promises(const Scenario &scenario, const Reference &expected, const ToolRun &base,
                     const std::string &answer, bool a_write, const ToolRun &run,
                     const Notes &notes, const std::string &log) {
    const std::string out = expected.whole(true);
    const std::string logged = expected.whole(false);
    if (!notes.fired) { // fewer calls than counted: nothing was answered
        EXPECT_EQ(run.err + run.out + log, base.err + base.out + logged);
        return;
    }
    if (answer.ends_with("STOP") || answer == "TERM") {
        EXPECT_EQ(run.status, 128 + SIGTERM);
        EXPECT_TRUE(std::string(base.err).starts_with(run.err)) << "a stop is no failure";
        EXPECT_TRUE(whole_lines_of(run.out, out)) << run.out;
        EXPECT_TRUE(whole_lines_of(log, logged) || log == scenario.old_log) << log;
        // Past the line being written then (and its other half), no pair and no verdict.
        const std::size_t heads[] = {expected.head(true).size(), expected.head(false).size()};
        const std::size_t at_stop =
            std::max(lines_in(out, heads[0], notes.out), lines_in(logged, heads[1], notes.log));
        EXPECT_TRUE(at_stop >= expected.outcome.pairs.size() ||
                    std::max(lines_in(out, heads[0], run.out.size()),
                             lines_in(logged, heads[1], log.size())) <= at_stop + 1);
        return;
    }
    // The reason that a failure the answer causes gives; none for an interruption or a short
    // count, which the tool must carry on from.
    const std::map<std::string, int> reasons{
        {"EIO", EIO},       {"0", EIO},       {"ENOSPC", ENOSPC}, {"half+ENOSPC", ENOSPC},
        {"ENOMEM", ENOMEM}, {"EFBIG", EFBIG}, {"EPIPE", EPIPE}};
    const int errnum = reasons.contains(answer) ? reasons.at(answer) : 0;
    EXPECT_TRUE(errnum != 0 || run.err == base.err) << run.err;
    // A diagnostic that cannot be written is lost, or cut short: what failed is not known then.
    const bool unknown = a_write && notes.fired == STDERR_FILENO && errnum != 0;
    const auto said = diagnostics(unknown ? "" : run.err, scenario.args);
    const auto before = diagnostics(base.err, scenario.args);
    bool input_failed = unknown;
    for (const auto &[name, because] : said) {
        input_failed = input_failed || (name != scenario.args[2] && name != "standard output" &&
                                        !before.contains(name));
        EXPECT_TRUE((before.contains(name) && before.at(name) == because) ||
                    (errnum != 0 && because == std::strerror(errnum)))
            << name << ": " << because;
    }
    EXPECT_EQ(run.status, said.empty() && !unknown ? 0 : 2);
    const bool exact_out = a_write && errnum != 0 && notes.fired == STDOUT_FILENO;
    const bool exact_log = a_write && errnum != 0 && notes.fired > STDERR_FILENO;
    EXPECT_TRUE(!exact_out || run.out == out.substr(0, notes.out)) << "what standard output took";
    EXPECT_TRUE(!exact_log || log == logged.substr(0, notes.log)) << "what the log took";
    const auto agrees = [&](std::size_t count, Shorter shorter) {
        const std::string out_then = expected.text(true, count, shorter);
        const std::string log_then = expected.text(false, count, shorter);
        return (unknown || said.contains("standard output")
                    ? exact_out || whole_lines_of(run.out, out_then)
                    : run.out == out_then) &&
               (unknown || said.contains(scenario.args[2])
                    ? exact_log || whole_lines_of(log, log_then) || log == scenario.old_log
                    : log == log_then);
    };
    bool agreed = agrees(expected.outcome.pairs.size(), expected.outcome.shorter);
    for (std::size_t count = 0; input_failed && count <= expected.outcome.pairs.size(); ++count) {
        for (Shorter shorter : {Shorter::neither, Shorter::first, Shorter::second}) {
            agreed = agreed || agrees(count, shorter);
        }
    }
    EXPECT_TRUE(agreed) << "standard output:\n"
                        << run.out.substr(0, 2000) << "\nlog:\n"
                        << log.substr(0, 2000);
}

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

// Each call of each kind that a run makes, answered in every way its kind can be answered.
TEST(Sweep, EveryCallAnsweredInEveryWay) {
    const std::string small = "0123";
    const std::string differing = differing_copy(small, {2, 4}) + "!";
    const std::string piped = pattern(300000);
    const Scenario scenarios[] = {
        {"small files, an existing log", {"a", "b", "l"}, small, differing, "old log text\n"},
        {"verbose, into a pipe", {"a", "b", "l", "v"}, small, differing, "", {}, Stdout::piped},
        {"a missing input", {"nofile", "b", "l"}, small, differing},
        {"a FIFO",
         {"fifo", "b", "l"},
         piped,
         differing_copy(piped.substr(0, block_size + 1), {1, 70000, block_size + 1})},
        by_layout(),
    };
    for (const Scenario &scenario : scenarios) {
        const Scratch scratch;
        ASSERT_EQ(mkfifo((scratch.dir() / "fifo").c_str(), 0600), 0);
        const Reference expected(scenario.args, scenario.a, scenario.b);
        SCOPED_TRACE(scenario.what);
        const auto [base, counted] = run_once(scratch, scenario, "PAIRSCAN_FAIL=", &expected);
        ASSERT_EQ(base.out, expected.whole(true));
        ASSERT_EQ(scratch.read("l"), expected.whole(false));
        ASSERT_EQ(base.err, scenario.args[0] == "nofile"
                                ? "pairscan: nofile: No such file or directory\n"
                                : "");
        ASSERT_EQ(base.status, base.err.empty() ? 0 : 2);
        ASSERT_EQ(counted.calls.size(), 12U);
        for (std::size_t kind = 0; kind < kinds.size(); ++kind) {
            std::istringstream answers(kinds[kind].second);
            for (std::string answer; answers >> answer;) {
                for (unsigned long k = 1; k <= counted.calls[kind]; ++k) {
                    const std::string fault =
                        kinds[kind].first + (":" + std::to_string(k)) + ":" + answer;
                    const auto [tool, notes] =
                        run_once(scratch, scenario, "PAIRSCAN_FAIL=" + fault);
                    SCOPED_TRACE(fault);
                    expect_promises(scenario, expected, base, answer, kind <= 1, tool, notes,
                                    scratch.read("l"));
                    EXPECT_EQ(scratch.read("a") + scratch.read("b"), scenario.a + scenario.b)
                        << "inputs are never modified";
                }
            }
        }
    }
}

// However long the log's name, which every console mismatch line carries, each report line is
// one write(2) and never a writev.
TEST(Sweep, LongLogNameStillOneWritePerLine) {
    const std::string log(5000, 'n'); // too long to open: the console alone gets the lines
    const Scratch scratch;
    const auto fixed = run_once(scratch, {"", {"a", "a", log}, "ab", "ax"}, "PAIRSCAN_FAIL=");
    for (const Args &args : {Args{"a", "b", log}, Args{"a", "b", log, "v"}}) {
        const auto [run, notes] = run_once(scratch, {"", args, "ab", "ax"}, "PAIRSCAN_FAIL=");
        const bool verbose = args.size() == 4;
        EXPECT_EQ(notes.calls[0], fixed.second.calls[0] + (verbose ? 2 : 1)); // write
        EXPECT_EQ(notes.calls[1], fixed.second.calls[1]);                     // writev
        EXPECT_EQ(run.out, banner + announcement(verbose, "a", "b", log) +
                               (verbose ? match('a', 1) + pair('b', 'x', 2) + " " : "") +
                               console_mismatch('b', 'x', 2, log));
        EXPECT_EQ(run.err + std::to_string(run.status),
                  "pairscan: " + log + ": File name too long\n2");
    }
}

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
