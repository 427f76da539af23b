// The tool under faults and unusual inputs: every failure reported on standard error with exit
// status 2, the log well-formed, no input modified, no hang.

#include "block_compare.hpp"
#include "expected_texts.hpp"
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

std::string differing_copy(std::string bytes, std::initializer_list<std::size_t> positions) {
    for (std::size_t position : positions) {
        bytes[position - 1] = static_cast<char>(bytes[position - 1] ^ 0x20);
    }
    return bytes;
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
        (fs::canonical(scratch.dir()) / "a").string() + ":" + std::to_string(block_size + 100);
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
