// The tool under faults and unusual inputs: every failure reported on standard error with exit
// status 2, the log well-formed, no input modified, no hang.

#include "block_compare.hpp"
#include "byte_reference.hpp"
#include "expected_texts.hpp"
#include "input_reader.hpp"
#include "tool_runner.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace expect;
using Args = std::vector<std::string>;

namespace {

// The environment that loads the fault injection library into the tool.
std::vector<std::string> with_fault(const std::string &setting) {
    // The sanitizer runtime, when there is one, need not come first for this test library.
    return {"LD_PRELOAD=" FAULT_INJECT_LIBRARY, setting,
            "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1"};
}

} // namespace

// A read error ends the comparison like an end of file: every pair read before it is reported,
// none after it.
TEST(FaultInjection, ReadErrorIsReportedAndTheLogFinished) {
    const Scratch scratch;
    const std::string a(2 * block_size + 1000, 'a');
    const std::string b = differing_copy(a, {10, block_size + 5, 2 * block_size + 7});
    scratch.put("a", a);
    scratch.put("b", b);
    const std::string fault =
        (fs::canonical(scratch.dir()) / "a").string() + ":" + std::to_string(block_size + 4096);
    const ToolRun run =
        scratch.run({"a", "b", "l"}, environment(with_fault("PAIRSCAN_FAULT_READ=" + fault)));
    EXPECT_EQ(run.err, "pairscan: a: Input/output error\n");
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out,
              banner + announcement(false, "a", "b", "l") + console_mismatch('a', 'A', 10, "l") +
                  console_mismatch('a', 'A', block_size + 5, "l") + console_verdict("a", "b"));
    EXPECT_EQ(scratch.read("l"), log_head("a", "b") + log_mismatch('a', 'A', 10) +
                                     log_mismatch('a', 'A', block_size + 5) +
                                     log_verdict("a", "b") + trailer);
    EXPECT_EQ(scratch.read("a"), a);
}

// A log that stops taking writes holds exactly what it took; standard output is unaffected.
TEST(FaultInjection, LogWriteErrorKeepsWhatWasWritten) {
    const std::string a = "0123456789abcdef";
    const std::string b = differing_copy(a, {2, 9, 16});
    const std::string full_log = log_head("a", "b") + log_mismatch('1', 0x11, 2) +
                                 log_mismatch('8', 0x18, 9) + log_mismatch('f', 'F', 16) + trailer;
    for (std::size_t budget :
         {std::size_t{0}, log_head("a", "b").size() + 30, full_log.size() - 3}) {
        const Scratch scratch;
        scratch.put("a", a);
        scratch.put("b", b);
        const std::string fault =
            (fs::canonical(scratch.dir()) / "l").string() + ":" + std::to_string(budget);
        const ToolRun run =
            scratch.run({"a", "b", "l"}, environment(with_fault("PAIRSCAN_FAULT_WRITE=" + fault)));
        SCOPED_TRACE("log fails after " + std::to_string(budget) + " bytes");
        EXPECT_EQ(run.err, "pairscan: l: No space left on device\n");
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(scratch.read("l"), full_log.substr(0, budget));
        EXPECT_EQ(run.out, banner + announcement(false, "a", "b", "l") +
                               console_mismatch('1', 0x11, 2, "l") +
                               console_mismatch('8', 0x18, 9, "l") +
                               console_mismatch('f', 'F', 16, "l"));
    }
}

// A write that the kernel takes in parts is carried on until the whole line is written.
TEST(FaultInjection, ShortWritesAreCarriedOn) {
    const Scratch scratch;
    const std::string a = "0123456789abcdef";
    scratch.put("a", a);
    scratch.put("b", differing_copy(a, {2, 9, 16}) + "!");
    for (const Args &args : {Args{"a", "b", "l"}, Args{"a", "b", "l", "v"}}) {
        const ToolRun reference = scratch.run(args);
        const std::string complete_log = scratch.read("l");
        const std::string fault = (fs::canonical(scratch.dir()) / "l").string() + ":7";
        const ToolRun run =
            scratch.run(args, environment(with_fault("PAIRSCAN_FAULT_SHORT=" + fault)));
        EXPECT_EQ(scratch.read("l"), complete_log);
        EXPECT_EQ(run.out, reference.out);
        EXPECT_EQ(run.status, 0);
    }
}

// However long the log's name, which every console mismatch line carries, each report line is
// one write(2) and never a writev.
TEST(FaultInjection, LongLogNameStillOneWritePerLine) {
    const std::string log(5000, 'n'); // too long to open: the console alone gets the lines
    const Scratch scratch;
    scratch.put("a", "ab");
    scratch.put("b", "ax");
    RunOptions options =
        environment(with_fault("PAIRSCAN_COUNT=" + (fs::canonical(scratch.dir()) / "out").string() +
                               ":" + (scratch.dir() / "count").string()));
    options.out = Stdout::work_file;
    options.stdout_file = "out";
    const auto writes_for = [&](const Args &args) {
        scratch.run(args, options);
        return scratch.read("count");
    };
    const std::string without_lines = writes_for({"a", "a", log}); // "W 0": the fixed texts
    ASSERT_TRUE(without_lines.ends_with(" 0"));
    const unsigned long fixed = std::stoul(without_lines);
    for (const Args &args : {Args{"a", "b", log}, Args{"a", "b", log, "v"}}) {
        const bool verbose = args.size() == 4;
        EXPECT_EQ(writes_for(args), std::to_string(fixed + (verbose ? 2 : 1)) + " 0");
        EXPECT_EQ(scratch.read("out"),
                  banner + announcement(verbose, "a", "b", log) +
                      (verbose ? match('a', 1) + pair('b', 'x', 2) + " " : "") +
                      console_mismatch('b', 'x', 2, log));
    }
}

// Whatever becomes of standard output, the run goes on to its end: the log holds exactly what it
// holds with a working console, and one diagnostic names standard output. The tool ignores
// SIGPIPE itself, whether or not it was started with it ignored.
TEST(ConsoleTrouble, NeverCutsTheLogShort) {
    const struct {
        Stdout target;
        std::size_t reader_takes;
        const char *reason;
    } cases[] = {
        {Stdout::closed, 0, "Bad file descriptor"},
        {Stdout::full_device, 0, "No space left on device"},
        {Stdout::gone_reader, 0, "Broken pipe"},
        {Stdout::gone_reader, 4096, "Broken pipe"},
    };
    const Scratch scratch;
    const std::string a(std::size_t{64} * 1024, 'z');
    std::string b = a + "longer";
    for (std::size_t i = 0; i < a.size(); i += 7) {
        b[i] = 'y';
    }
    scratch.put("a", a);
    scratch.put("b", b);
    for (const Args &args : {Args{"a", "b", "l"}, Args{"a", "b", "l", "v"}}) {
        const ToolRun reference = scratch.run(args);
        const std::string complete_log = scratch.read("l");
        ASSERT_EQ(reference.status, 0);
        ASSERT_GT(reference.out.size(), std::size_t{256} * 1024) << "outlasts a pipe's buffer";
        ASSERT_TRUE(complete_log.ends_with(log_verdict("a", "b") + trailer));
        for (const auto &c : cases) {
            for (bool sigpipe_ignored : {false, true}) {
                RunOptions options = stdout_to(c.target);
                options.reader_takes = c.reader_takes;
                options.sigpipe_ignored = sigpipe_ignored;
                const ToolRun run = scratch.run(args, options);
                SCOPED_TRACE(std::string(c.reason) + ", reader takes " +
                             std::to_string(c.reader_takes) + ", " + std::to_string(args.size()) +
                             " arguments" + (sigpipe_ignored ? ", SIGPIPE ignored" : ""));
                EXPECT_EQ(run.err, std::string("pairscan: standard output: ") + c.reason + "\n");
                EXPECT_EQ(run.status, 2);
                EXPECT_EQ(scratch.read("l"), complete_log);
            }
        }
    }
}

TEST(SpecialFiles, DevNullIsAnEmptyInput) {
    const Scratch scratch;
    scratch.put("empty", "");
    scratch.put("x", "x");
    ToolRun run = scratch.run({"/dev/null", "empty", "l"});
    EXPECT_EQ(run.out, banner + announcement(false, "/dev/null", "empty", "l"));
    EXPECT_EQ(run.status, 0);
    run = scratch.run({"x", "/dev/null", "l"});
    EXPECT_EQ(run.out, banner + announcement(false, "x", "/dev/null", "l") +
                           console_verdict("/dev/null", "x"));
    EXPECT_EQ(run.status, 0);
}

TEST(SpecialFiles, FifoWrittenWhileRead) {
    const Scratch scratch;
    ASSERT_EQ(mkfifo((scratch.dir() / "fifo").c_str(), 0600), 0);
    scratch.put("g", "hello_world!");
    std::thread writer([&] {
        const int fd = open((scratch.dir() / "fifo").c_str(), O_WRONLY); // waits for the tool
        for (const char *piece : {"hello", " ", "world"}) {
            EXPECT_GT(write(fd, piece, std::strlen(piece)), 0);
            usleep(20000);
        }
        close(fd);
    });
    const ToolRun run = scratch.run({"fifo", "g", "l"});
    writer.join();
    EXPECT_EQ(run.out, banner + announcement(false, "fifo", "g", "l") +
                           console_mismatch(' ', '_', 6, "l") + console_verdict("fifo", "g"));
    EXPECT_EQ(run.status, 0);
}

TEST(SpecialFiles, DevStdinIsJustAPath) {
    const Scratch scratch;
    scratch.put("b", "abd");
    const ToolRun run = scratch.run({"/dev/stdin", "b", "l"}, stdin_from("abc"));
    EXPECT_EQ(run.out, banner + announcement(false, "/dev/stdin", "b", "l") +
                           console_mismatch('c', 'd', 3, "l"));
    EXPECT_EQ(run.status, 0);
}

// Another spelling of an input's name still leads to the input: refused, input untouched.
TEST(SpecialFiles, LogUnderAnotherSpellingIsRefused) {
    const Scratch scratch;
    scratch.put("x", "precious");
    scratch.put("y", "other");
    for (const std::string &log :
         {std::string("./x"), (scratch.dir() / "x").string(), std::string("../work/x")}) {
        const ToolRun run = scratch.run({"x", "y", log});
        EXPECT_EQ(run.err, log_refusal(log, "x"));
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(scratch.read("x"), "precious");
    }
}

// Names are used exactly as typed, in every text: blanks, a newline, bytes that are not UTF-8,
// a leading dash.
TEST(Names, AreUsedExactlyAsTyped) {
    const Scratch scratch;
    const std::string dash = "-n";
    const std::string newline = "new\nline";
    const std::string latin1 = "caf\xe9 log";
    scratch.put(dash, "xa");
    scratch.put(newline, "y");
    ToolRun run = scratch.run({dash, newline, latin1});
    EXPECT_EQ(run.out, banner + announcement(false, dash, newline, latin1) +
                           console_mismatch('x', 'y', 1, latin1) + console_verdict(newline, dash));
    EXPECT_EQ(scratch.read(latin1), log_head(dash, newline) + log_mismatch('x', 'y', 1) +
                                        log_verdict(newline, dash) + trailer);
    EXPECT_EQ(run.status, 0);

    const std::string missing = "no\nsuch \xff";
    run = scratch.run({missing, dash, "l", "v"});
    EXPECT_EQ(run.err, "pairscan: " + missing + ": No such file or directory\n");
    EXPECT_EQ(run.out,
              banner + announcement(true, missing, dash, "l") + console_verdict(missing, dash));
}

// The log and a standard output file are never the same file, whatever the spelling: the log's
// open would empty what the console wrote. The file keeps what it held and the console's texts.
TEST(ConsoleFile, LogThatIsStandardOutputsFileIsRefused) {
    const struct {
        const char *log;
        bool appends;
    } cases[] = {{.log = "out", .appends = false},
                 {.log = "out", .appends = true},
                 {.log = "/dev/stdout", .appends = false},
                 {.log = "/proc/self/fd/1", .appends = true}};
    for (const auto &c : cases) {
        const Scratch scratch;
        scratch.put("a", "abc");
        scratch.put("b", "abd");
        scratch.put("out", "earlier\n");
        RunOptions options;
        options.out = Stdout::work_file;
        options.stdout_file = "out";
        options.stdout_appends = c.appends;
        const ToolRun run = scratch.run({"a", "b", c.log}, options);
        SCOPED_TRACE(std::string(c.log) + (c.appends ? ", appended to" : ", emptied"));
        EXPECT_EQ(scratch.read("out"),
                  (c.appends ? "earlier\n" : "") + banner + announcement(false, "a", "b", c.log));
        EXPECT_EQ(run.err, std::string("pairscan: log file '") + c.log +
                               "' is the same file as standard output; not overwriting it\n");
        EXPECT_EQ(run.status, 2);
    }
}

// Nothing is composed for standard output on /dev/null; the log is the same as ever.
TEST(ConsoleFile, DevNullChangesNothingInTheLog) {
    const Scratch scratch;
    const std::string a(5000, 'a');
    scratch.put("a", a);
    scratch.put("b", differing_copy(a, {1, 2, 3, 4096, 4097, 5000}) + "more");
    for (const Args &args : {Args{"a", "b", "l"}, Args{"a", "b", "l", "v"}}) {
        const ToolRun reference = scratch.run(args);
        const std::string complete_log = scratch.read("l");
        const ToolRun run = scratch.run(args, stdout_to(Stdout::null_device));
        EXPECT_EQ(scratch.read("l"), complete_log);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.status, 0);
    }
}

// A pipe is shared line by line, so a log on standard output's pipe stays allowed.
TEST(ConsoleFile, LogOnStandardOutputsPipeIsShared) {
    const Scratch scratch;
    scratch.put("a", "abc");
    scratch.put("b", "abd");
    const ToolRun run = scratch.run({"a", "b", "/dev/stdout"}, stdout_to(Stdout::piped));
    EXPECT_EQ(run.out, banner + announcement(false, "a", "b", "/dev/stdout") + log_head("a", "b") +
                           console_mismatch('c', 'd', 3, "/dev/stdout") +
                           log_mismatch('c', 'd', 3) + trailer);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
}

// A file-size limit fails the output that reaches it, with SIGXFSZ at its default: the other
// output stays complete.
TEST(Limits, FileSizeLimitFailsOnlyTheOutputThatReachesIt) {
    const Scratch scratch;
    const std::string a(4000, 'a');
    scratch.put("a", a);
    scratch.put("b", std::string(4000, 'b'));
    const ToolRun reference = scratch.run({"a", "b", "l"});
    const std::string complete_log = scratch.read("l");
    ASSERT_EQ(reference.status, 0);
    ASSERT_GT(reference.out.size(), complete_log.size() + 2000);

    RunOptions log_limited = stdout_to(Stdout::piped);
    log_limited.file_size_limit = 2000;
    ToolRun run = scratch.run({"a", "b", "l"}, log_limited);
    EXPECT_EQ(scratch.read("l"), complete_log.substr(0, 2000));
    EXPECT_EQ(run.out, reference.out);
    EXPECT_EQ(run.err, "pairscan: l: File too large\n");
    EXPECT_EQ(run.status, 2);

    RunOptions console_limited;
    console_limited.out = Stdout::work_file;
    console_limited.stdout_file = "out";
    console_limited.file_size_limit = complete_log.size() + 1000;
    run = scratch.run({"a", "b", "l"}, console_limited);
    EXPECT_EQ(scratch.read("out"), reference.out.substr(0, complete_log.size() + 1000));
    EXPECT_EQ(scratch.read("l"), complete_log);
    EXPECT_EQ(run.err, "pairscan: standard output: File too large\n");
    EXPECT_EQ(run.status, 2);
}

// Under address-space limits from too small to start up to large enough, every run either never
// starts, ends with one diagnostic before touching the log, or runs whole.
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
        RunOptions options;
        options.address_space_limit = limit;
        const ToolRun run = scratch.run({"a", "b", "l"}, options);
        SCOPED_TRACE("address space limited to " + std::to_string(limit) + " bytes");
        ran = run.status == 0;
        if (ran) {
            EXPECT_EQ(scratch.read("l"), log_head("a", "b") + log_mismatch('c', 'd', 3) + trailer);
        } else if (run.status == 2) {
            ++refused;
            EXPECT_EQ(run.err, "pairscan: Cannot allocate memory\n");
            EXPECT_EQ(run.out, banner + announcement(false, "a", "b", "l"));
            EXPECT_EQ(scratch.read("l"), "previous log");
        } else {
            EXPECT_EQ(run.out, "") << "a run that started must end with status 0 or 2";
            EXPECT_EQ(scratch.read("l"), "previous log");
        }
    }
    EXPECT_TRUE(ran);
    EXPECT_GT(refused, 0) << "no limit fell between starting up and claiming the blocks";
}

// Started with standard error closed, the tool must not let the log take its descriptor: the
// diagnostic would land inside the log.
TEST(StandardDescriptors, ClosedStandardErrorNeverReachesTheLog) {
    const Scratch scratch;
    scratch.put("b", "xyz");
    const ToolRun reference = scratch.run({"nofile", "b", "l"});
    const std::string normal_log = scratch.read("l");
    ASSERT_EQ(reference.err, "pairscan: nofile: No such file or directory\n");
    RunOptions options;
    options.stderr_closed = true;
    const ToolRun run = scratch.run({"nofile", "b", "l"}, options);
    EXPECT_EQ(scratch.read("l"), normal_log);
    EXPECT_EQ(run.out, reference.out);
    EXPECT_EQ(run.status, 2);
}

// Each report line reaches its reader before the next block is read: with the first input a
// FIFO that holds back its second block, the lines of the first are already on standard output
// and in the log.
TEST(Flushing, EachLineReachesItsReaderWhileTheToolWaits) {
    const Scratch scratch;
    ASSERT_EQ(mkfifo((scratch.dir() / "fifo").c_str(), 0600), 0);
    const std::string first_block(block_size, 'a');
    scratch.put("b", differing_copy(first_block, {5, 9}) + "tail");
    const std::string lines_out =
        console_mismatch('a', 'A', 5, "l") + console_mismatch('a', 'A', 9, "l");
    const std::string lines_log = log_mismatch('a', 'A', 5) + log_mismatch('a', 'A', 9);
    bool seen_while_held = false;
    std::thread writer([&] {
        const int fd = open((scratch.dir() / "fifo").c_str(), O_WRONLY);
        for (std::size_t sent = 0; sent < first_block.size();) {
            const ssize_t size = write(fd, first_block.data() + sent, first_block.size() - sent);
            sent += size > 0 ? static_cast<std::size_t>(size) : first_block.size();
        }
        for (int waited = 0; waited < 500 && !seen_while_held; ++waited) {
            usleep(10000);
            seen_while_held = scratch.captured_stdout().ends_with(lines_out) &&
                              scratch.read("l").ends_with(lines_log);
        }
        close(fd);
    });
    const ToolRun run = scratch.run({"fifo", "b", "l"});
    writer.join();
    EXPECT_TRUE(seen_while_held);
    EXPECT_EQ(run.out, banner + announcement(false, "fifo", "b", "l") + lines_out +
                           console_verdict("fifo", "b"));
    EXPECT_EQ(run.status, 0);
}
