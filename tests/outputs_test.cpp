// Standard output, the log and standard error in trouble or in unusual places: each output that
// fails has its line on standard error and the other one is complete; the log never overwrites
// what the console wrote; a stop ends the run between two lines.

#include "byte_reference.hpp"
#include "expected_texts.hpp"
#include "tool_runner.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <optional>

namespace fs = std::filesystem;
using namespace expect;
using Args = std::vector<std::string>;

// On a terminal the report is shown like anywhere else; on /dev/null nothing is composed for
// standard output, and /dev/null is an input like any. The log is the same as ever. Each output is
// left non-blocking, and its reader comes late: the run waits for it at next to no cost.
TEST(ConsoleFile, TerminalAndDevNullChangeNothing) {
    const Scratch scratch;
    const std::string a(5000, 'a');
    scratch.put("a", a);
    scratch.put("b", differing_copy(a, {1, 2, 3, 4096, 4097, 5000}) + "more");
    for (const Args &args :
         {Args{"a", "b", "l"}, Args{"a", "b", "l", "v"}, Args{"/dev/null", "a", "l"}}) {
        const ToolRun reference = scratch.run(args);
        const std::string complete_log = scratch.read("l");
        for (Stdout target : {Stdout::terminal, Stdout::null_device, Stdout::piped}) {
            const ToolRun run = scratch.run(args, {.out = target,
                                                   .meanwhile = [](pid_t) { usleep(300000); },
                                                   .stdout_nonblocking = true});
            EXPECT_EQ(scratch.read("l"), complete_log);
            EXPECT_EQ(target == Stdout::null_device ? reference.out : run.out, reference.out);
            EXPECT_EQ(run.err + std::to_string(run.status), "0");
            EXPECT_LT(run.cpu, 0.1) << "seconds of CPU in a wait of 0.3";
        }
    }
}

// No input is an output of the run, and the log is not the file of standard output or standard
// error, whatever the spelling: the tool would compare its own text, the log's open would empty
// what the console wrote, or the diagnostics and the log would overwrite each other. An output
// that an input reads gets nothing at all, the refusal included: it goes to the other output, if
// that is no input. What the file held before stays, and no log is made, not even where a dangling
// link, or a chain of them, pointed.
TEST(StandardFiles, NoInputIsAnOutputAndTheLogIsNeitherOutputsFile) {
    const auto log_refused = [](const std::string &log, const char *which) {
        return "pairscan: log file '" + log + "' is the same file as standard " + which +
               "; not overwriting it\n";
    };
    const auto input_refused = [](const std::string &input, const char *which) {
        return "pairscan: input file '" + input + "' is the same file as standard " + which +
               "; not reading it\n";
    };
    const struct {
        Args args;
        Stdout out; // with Stdout::work_file, the file "out"
        const char *stderr_file;
        bool appends;
        std::string err;
        int told = STDERR_FILENO; // where the refusal goes; -1 for nowhere
    } cases[] = {
        {{"a", "b", "out"}, Stdout::work_file, "", false, log_refused("out", "output")},
        {{"a", "b", "out"}, Stdout::work_file, "", true, log_refused("out", "output")},
        {{"a", "b", "/dev/stdout"},
         Stdout::work_file,
         "",
         false,
         log_refused("/dev/stdout", "output")},
        {{"a", "b", "/proc/self/fd/1"},
         Stdout::work_file,
         "",
         true,
         log_refused("/proc/self/fd/1", "output")},
        {{"a", "b", "err"}, Stdout::captured, "err", false, log_refused("err", "error")},
        {{"a", "b", "err"}, Stdout::captured, "err", true, log_refused("err", "error")},
        {{"out", "b", "l"}, Stdout::work_file, "", false, input_refused("out", "output")},
        {{"b", "out", "l", "v"}, Stdout::work_file, "", true, input_refused("out", "output")},
        {{"hard", "b", "l"}, Stdout::work_file, "", true, input_refused("hard", "output")},
        {{"b", "out", "dangling"}, Stdout::work_file, "", true, input_refused("out", "output")},
        {{"b", "out", "chain"}, Stdout::work_file, "", true, input_refused("out", "output")},
        {{"/dev/stdout", "b", "l"},
         Stdout::piped,
         "",
         false,
         input_refused("/dev/stdout", "output")},
        {{"b", "err", "l"}, Stdout::captured, "err", false, input_refused("err", "error"), 1},
        {{"b", "err", "l", "v"}, Stdout::captured, "err", true, input_refused("err", "error"), 1},
        {{"out", "err", "l"}, Stdout::work_file, "err", true, input_refused("out", "output"), -1},
    };
    for (const auto &c : cases) {
        const Scratch scratch;
        scratch.put("a", "abc");
        scratch.put("b", "abd");
        scratch.put("out", "earlier\n");
        scratch.put("err", "earlier\n");
        fs::create_hard_link(scratch.dir() / "out", scratch.dir() / "hard");
        fs::create_symlink("made", scratch.dir() / "dangling");
        fs::create_symlink("dangling", scratch.dir() / "chain");
        RunOptions options{.out = c.out, .stdout_file = "out", .stdout_appends = c.appends};
        options.stderr_file = c.stderr_file;
        options.stderr_appends = c.appends;
        options.seconds = 1;
        const ToolRun run = scratch.run(c.args, options);
        SCOPED_TRACE(c.args[0] + " " + c.args[1] + " " + c.args[2] + (c.appends ? ", >>" : ", >"));
        const std::string before = c.appends ? "earlier\n" : "";
        const std::string shown =
            c.err.starts_with("pairscan: log")
                ? banner + announcement(false, c.args[0], c.args[1], c.args[2])
                : "";
        EXPECT_EQ(*c.stderr_file != '\0' ? scratch.read("err") : before + run.err,
                  before + (c.told == STDERR_FILENO ? c.err : ""));
        EXPECT_EQ(c.out == Stdout::work_file ? scratch.read("out") : before + run.out,
                  before + shown + (c.told == STDOUT_FILENO ? c.err : ""));
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(scratch.read("b"), "abd");
        EXPECT_FALSE(scratch.exists("l") || scratch.exists("made"));
    }
}

// A standard descriptor closed at start cannot be reopened by name: nothing is read from an
// empty stand-in nor written into a void, and a closed standard output fails alone.
TEST(StandardDescriptors, ClosedOnesCannotBeReopenedByName) {
    const Scratch scratch;
    scratch.put("b", "xyz");
    RunOptions no_stdin;
    no_stdin.stdin_closed = true;
    ToolRun run = scratch.run({"/dev/stdin", "b", "l"}, no_stdin);
    // The stand-in belongs to root: others are refused before the kernel finds it cannot be opened.
    EXPECT_TRUE(run.err == "pairscan: /dev/stdin: No such device or address\n" ||
                run.err == "pairscan: /dev/stdin: Permission denied\n")
        << run.err;
    EXPECT_EQ(run.out, banner + announcement(false, "/dev/stdin", "b", "l") +
                           console_verdict("/dev/stdin", "b"));
    EXPECT_EQ(run.status, 2);

    run = scratch.run({"b", "b", "l"},
                      RunOptions{.out = Stdout::closed}); // the run goes on to its end
    EXPECT_EQ(scratch.read("l"), log_head("b", "b") + trailer);
    EXPECT_EQ(run.err, "pairscan: standard output: Bad file descriptor\n");
    EXPECT_EQ(run.status, 2);
}

// Under address-space limits from too small to start up to large enough, every run either never
// starts, ends with one diagnostic before touching the log (before the banner where the guard
// runs short), or runs whole.
TEST(Limits, ShortMemoryLeavesTheLogUntouched) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer cannot run under an address-space limit";
#endif
    const Scratch scratch;
    scratch.put("a", "abc");
    scratch.put("b", "abd");
    int refused = 0;
    bool ran = false;
    for (rlim_t limit = rlim_t{1} << 20; limit < rlim_t{64} << 20 && !ran; limit += 128 << 10) {
        scratch.put("l", "previous log");
        const ToolRun run = scratch.run({"a", "b", "l"}, {.address_space_limit = limit});
        SCOPED_TRACE("address space limited to " + std::to_string(limit) + " bytes");
        ran = run.status == 0;
        if (ran) {
            EXPECT_EQ(scratch.read("l"), log_head("a", "b") + log_mismatch('c', 'd', 3) + trailer);
        } else if (run.status == 2) {
            ++refused;
            EXPECT_EQ(run.err, "pairscan: Cannot allocate memory\n");
            // Short in the guard, before anything is written, or in claiming the blocks.
            EXPECT_TRUE(run.out.empty() || run.out == banner + announcement(false, "a", "b", "l"));
            EXPECT_EQ(scratch.read("l"), "previous log");
        } else {
            EXPECT_EQ(run.out, "") << "a run that started must end with status 0 or 2";
            EXPECT_EQ(scratch.read("l"), "previous log");
        }
    }
    EXPECT_TRUE(ran);
    EXPECT_GT(refused, 0) << "no limit fell between starting up and claiming the blocks";
}

namespace {

struct StopCase {
    int signal;
    Args args;
    bool ignored;
    bool replaced = false;
    bool full = false; // verbose into a non-blocking pipe read only after the signal
};

// Sends the signal 0.2 s in; for a full output, whether the tool ended within 2 s of it, before
// its pipe was read.
std::function<void(pid_t)> stop_after_a_while(const StopCase &c, bool &ended_unread) {
    return [&c, &ended_unread](pid_t tool) {
        usleep(200000);
        kill(tool, c.signal);
        siginfo_t info{};
        for (int waited = 0; c.full && waited < 200 && info.si_pid != tool; ++waited) {
            usleep(10000);
            waitid(P_PID, tool, &info, WEXITED | WNOHANG | WNOWAIT);
        }
        ended_unread = !c.full || info.si_pid == tool;
    };
}

ToolRun run_stopped(const Scratch &scratch, const StopCase &c, bool &ended_unread) {
    RunOptions options = with_fault("PAIRSCAN_STOP=made:" + std::to_string(SIGTERM));
    options.env.push_back(c.replaced ? "PAIRSCAN_REPLACE=made:other" : "");
    options.sighup_ignored = c.ignored;
    options.out = c.full ? Stdout::piped : Stdout::captured;
    options.stdout_nonblocking = c.full;
    options.seconds = c.full ? 2 : 0;
    options.meanwhile = stop_after_a_while(c, ended_unread);
    std::optional<FifoWriter> writer;
    if (c.args[0] == "fifo") {
        writer.emplace(scratch, "fifo", std::vector<std::string>{"ab"},
                       [](std::size_t) { sleep(1); });
    }
    return scratch.run(c.args, options);
}

} // namespace

TEST(Signals, AWaitForInputEndsAtOnce) {
    const StopCase cases[] = {{SIGINT, {"fifo", "b", "l"}, false},
                              {SIGHUP, {"fifo", "b", "l"}, false},
                              {SIGHUP, {"fifo", "b", "l"}, true},
                              {SIGBUS, {"fifo", "b", "l"}, false},
                              {SIGTERM, {"b", "b", "fifo"}, false},
                              {SIGTERM, {"b", "b", "made"}, false},
                              {SIGTERM, {"b", "b", "made"}, false, true},
                              {SIGINT, {"a", "a", "l", "v"}, false, false, true},
                              {SIGTERM, {"a", "a", "l", "v"}, false, false, true},
                              {SIGHUP, {"a", "a", "l", "v"}, false, false, true}};
    for (const StopCase &c : cases) {
        const Scratch scratch;
        ASSERT_EQ(mkfifo((scratch.dir() / "fifo").c_str(), 0600), 0);
        scratch.put("b", "abcdef");
        scratch.put("a", std::string(100000, 'a'));
        scratch.put("other", "");
        bool ended_unread = true;
        const ToolRun run = run_stopped(scratch, c, ended_unread);
        SCOPED_TRACE(std::to_string(c.signal) + " " + c.args[0] + " " + c.args[2]);
        EXPECT_EQ(run.status, c.ignored ? 0 : 128 + c.signal);
        EXPECT_LT(run.cpu, 0.1) << "seconds of CPU in a wait of 0.2 or more";
        EXPECT_EQ(run.err, "");
        EXPECT_TRUE(ended_unread) << "ended within 2 s of the signal, its output still full";
        if (c.full) {
            EXPECT_TRUE(run.out.starts_with(banner + announcement(true, "a", "a", "l")));
            EXPECT_LT(run.out.size(), 100000U * match('a', 1).size());
            continue;
        }
        EXPECT_EQ(run.out, banner + announcement(false, c.args[0], c.args[1], c.args[2]) +
                               (c.ignored ? console_verdict("fifo", "b") : ""));
        EXPECT_EQ(scratch.exists("made"), c.replaced);
        EXPECT_TRUE(c.args[2] != "l" ||
                    scratch.read("l") == log_head(c.args[0], c.args[1]) +
                                             (c.ignored ? log_verdict("fifo", "b") + trailer : ""));
    }
}
