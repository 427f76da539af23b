// The tool under faults and unusual inputs: every failure reported on standard error with exit
// status 2, the log well-formed, no input modified, no hang.

#include "block_compare.hpp"
#include "byte_reference.hpp"
#include "expected_texts.hpp"
#include "input_source.hpp"
#include "tool_runner.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <optional>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace expect;
using Args = std::vector<std::string>;

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
    const ToolRun run = scratch.run({"a", "b", "l"}, with_fault("PAIRSCAN_FAULT_READ=" + fault));
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
            scratch.run({"a", "b", "l"}, with_fault("PAIRSCAN_FAULT_WRITE=" + fault));
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
        const ToolRun run = scratch.run(args, with_fault("PAIRSCAN_FAULT_SHORT=" + fault));
        EXPECT_EQ(scratch.read("l"), complete_log);
        EXPECT_EQ(run.out, reference.out);
        EXPECT_EQ(run.status, 0);
    }
}

// A log whose close fails (as NFS or a full disk can make it) is reported, and the run fails; a
// diagnostic that standard error takes in parts is carried on, never repeated.
TEST(FaultInjection, FailedCloseAndShortDiagnostics) {
    const Scratch scratch;
    scratch.put("a", "abc");
    scratch.put("b", "abd");
    const fs::path dir = fs::canonical(scratch.dir());
    ToolRun run = scratch.run({"a", "b", "l"},
                              with_fault("PAIRSCAN_FAULT_CLOSE=" + (dir / "l").string() + ":0"));
    EXPECT_EQ(run.err, "pairscan: l: Input/output error\n");
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(scratch.read("l"), log_head("a", "b") + log_mismatch('c', 'd', 3) + trailer);

    const std::string stderr_file = (dir.parent_path() / "stderr").string();
    run =
        scratch.run({"nofile", "b", "l"}, with_fault("PAIRSCAN_FAULT_SHORT=" + stderr_file + ":3"));
    EXPECT_EQ(run.err, "pairscan: nofile: No such file or directory\n");
    EXPECT_EQ(run.status, 2);
}

// However long the log's name, which every console mismatch line carries, each report line is
// one write(2) and never a writev.
TEST(FaultInjection, LongLogNameStillOneWritePerLine) {
    const std::string log(5000, 'n'); // too long to open: the console alone gets the lines
    const Scratch scratch;
    scratch.put("a", "ab");
    scratch.put("b", "ax");
    RunOptions options =
        with_fault("PAIRSCAN_COUNT=" + (fs::canonical(scratch.dir()) / "out").string() + ":" +
                   (scratch.dir() / "count").string());
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
    // Standard output on /dev/null too: a character device shares nothing with an input.
    EXPECT_EQ(scratch.run({"x", "/dev/null", "l"}, stdout_to(Stdout::null_device)).status, 0);
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

// Writes pieces into a FIFO of the scratch directory from a thread of its own, calling after()
// between them; the FIFO is closed at the end. Should the tool never read it, the writer is let go
// at the end of the test, so that a failure cannot hang the suite.
class FifoWriter {
  public:
    FifoWriter(const Scratch &scratch, const std::string &name, std::vector<std::string> pieces,
               std::function<void(std::size_t piece)> after = {})
        : fifo_(scratch.dir() / name),
          thread_([this, pieces = std::move(pieces), after = std::move(after)] {
              const int fd = open(fifo_.c_str(), O_WRONLY);
              for (std::size_t i = 0; i < pieces.size(); ++i) {
                  for (std::size_t sent = 0; sent < pieces[i].size();) {
                      const ssize_t size =
                          write(fd, pieces[i].data() + sent, pieces[i].size() - sent);
                      sent += size > 0 ? static_cast<std::size_t>(size) : pieces[i].size();
                  }
                  if (after) {
                      after(i);
                  }
              }
              close(fd);
              done_ = true;
          }) {}
    ~FifoWriter() {
        while (!done_) { // a reader that comes and goes ends a wait to open, and every write
            close(open(fifo_.c_str(), O_RDONLY | O_NONBLOCK));
            usleep(10000);
        }
        thread_.join();
    }
    FifoWriter(const FifoWriter &) = delete;
    FifoWriter &operator=(const FifoWriter &) = delete;

  private:
    fs::path fifo_;
    std::atomic<bool> done_ = false;
    std::thread thread_;
};

// Waits up to five seconds for a condition that the tool's progress makes true.
bool eventually(const std::function<bool()> &condition) {
    for (int waited = 0; waited < 500; ++waited) {
        if (condition()) {
            return true;
        }
        usleep(10000);
    }
    return false;
}

// Each difference is reported as soon as both its bytes have arrived: with the first input a FIFO
// that holds back the rest, the lines of what it sent are already on standard output and in the
// log while it waits, whether it sent a whole block or three bytes.
TEST(Flushing, EachLineReachesItsReaderWhileTheToolWaits) {
    const std::string first_block(block_size, 'a');
    const struct {
        std::string sent;
        std::string other;
        std::vector<std::size_t> positions;
    } cases[] = {
        {first_block, differing_copy(first_block, {5, 9}) + "tail", {5, 9}},
        {"abX", "abcdefgh", {3}},
    };
    for (const auto &c : cases) {
        const Scratch scratch;
        ASSERT_EQ(mkfifo((scratch.dir() / "fifo").c_str(), 0600), 0);
        scratch.put("b", c.other);
        std::string lines_out;
        std::string lines_log;
        for (std::size_t position : c.positions) {
            lines_out +=
                console_mismatch(c.sent[position - 1], c.other[position - 1], position, "l");
            lines_log += log_mismatch(c.sent[position - 1], c.other[position - 1], position);
        }
        bool seen_while_held = false;
        ToolRun run;
        {
            const FifoWriter writer(scratch, "fifo", {c.sent}, [&](std::size_t) {
                seen_while_held = eventually([&] {
                    return scratch.captured_stdout().ends_with(lines_out) &&
                           scratch.read("l").ends_with(lines_log);
                });
            });
            run = scratch.run({"fifo", "b", "l"});
        }
        EXPECT_TRUE(seen_while_held) << c.sent.size() << " bytes sent";
        lines_out += console_verdict("fifo", "b");
        const std::string head = banner + announcement(false, "fifo", "b", "l");
        EXPECT_EQ(run.out, head + lines_out);
        EXPECT_EQ(run.status, 0);
    }
}

// One writer feeding both inputs, in either order it opens them, never waits for the tool while
// the tool waits for it: the run ends, with the exact report. tr makes the second copy differ
// wherever a byte 1 stands.
TEST(ArrivingInputs, OneWriterFeedingBothNeverDeadlocks) {
    std::string data(1000000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>(i * 7 % 251);
    }
    std::string changed = data;
    std::replace(changed.begin(), changed.end(), '\1', '\2');
    const struct {
        const char *command;
        const std::string &first;
        const std::string &second;
    } cases[] = {
        {"tee f1 f2 < src > /dev/null", data, data},
        {"tee f1 < src > f2", data, data},
        {"tee f1 < src | tr '\\001' '\\002' > f2", data, changed},
        {"tee f2 < src | tr '\\001' '\\002' > f1", changed, data},
        {"cat src > f1 & sleep 0.3; cat src > f2; wait", data, data}, // one side a block ahead
    };
    for (const auto &c : cases) {
        const Scratch scratch;
        ASSERT_EQ(mkfifo((scratch.dir() / "f1").c_str(), 0600), 0);
        ASSERT_EQ(mkfifo((scratch.dir() / "f2").c_str(), 0600), 0);
        scratch.put("src", data);
        std::thread writer([&] {
            const std::string shell =
                "cd '" + scratch.dir().string() + "' && timeout 20 sh -c \"" + c.command + "\"";
            EXPECT_EQ(system(shell.c_str()), 0);
        });
        RunOptions options;
        options.seconds = 20;
        const ToolRun run = scratch.run({"f1", "f2", "l"}, options);
        writer.join();
        SCOPED_TRACE(c.command);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.out,
                  banner + announcement(false, "f1", "f2", "l") +
                      report_body(c.first, c.second, Reports::mismatches, Stream::console));
    }
}

// A terminal is read only when it has something, as a pipe is: one writer that fills a FIFO before
// it types on a terminal is never left waiting while the tool waits on the terminal.
TEST(ArrivingInputs, TerminalBesideAFifoOfTheSameWriter) {
    const Scratch scratch;
    ASSERT_EQ(mkfifo((scratch.dir() / "fifo").c_str(), 0600), 0);
    const int keyboard = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(keyboard >= 0 && grantpt(keyboard) == 0 && unlockpt(keyboard) == 0);
    const std::string terminal = ptsname(keyboard);
    const int raw_mode = open(terminal.c_str(), O_RDWR | O_NOCTTY);
    termios raw{};
    ASSERT_EQ(tcgetattr(raw_mode, &raw), 0);
    cfmakeraw(&raw);
    tcsetattr(raw_mode, TCSANOW, &raw);
    const std::string typed = std::string(100000, 't') + "!"; // the FIFO gets all but the last
    ToolRun run;
    {
        const FifoWriter writer(
            scratch, "fifo", {typed.substr(0, typed.size() - 1)}, [&](std::size_t) {
                fcntl(keyboard, F_SETFL, O_NONBLOCK); // typing gives up once the tool is gone
                std::size_t sent = 0;
                for (int tries = 0; sent < typed.size() && tries < 10000; ++tries) {
                    const ssize_t size = write(keyboard, typed.data() + sent, typed.size() - sent);
                    sent += size > 0 ? static_cast<std::size_t>(size) : 0;
                    usleep(size > 0 ? 0 : 1000);
                }
            });
        RunOptions options;
        options.seconds = 5;
        run = scratch.run({terminal, "fifo", "l"}, options);
    }
    close(raw_mode);
    close(keyboard);
    EXPECT_EQ(run.out, banner + announcement(false, terminal, "fifo", "l") +
                           console_verdict("fifo", terminal));
    EXPECT_EQ(run.status, 0);
}

// A regular input that changes while the run is held mid-file (the other input a FIFO that stops
// after three windows) is reported, and the outputs hold what the bytes read gave: a file cut
// short ends where it was cut, a grown one where it ended at its open, a rewritten one shows its
// new bytes.
TEST(ArrivingInputs, ChangedInputIsReported) {
    const std::size_t held_at = 3 * window_size;
    std::string a(2 * held_at, '\0');
    for (std::size_t i = 0; i < a.size(); ++i) {
        a[i] = static_cast<char>('a' + i % 26);
    }
    std::vector<std::size_t> differences{1, held_at};
    for (std::size_t at = 65536; at < a.size(); at += 65536) {
        differences.push_back(at + 3);
    }
    const std::string b = differing_copy(a, differences) + "more";
    const std::string rewritten = "REWRITTEN!";
    const struct {
        const char *what;
        std::function<void(const fs::path &)> change;
        std::string as_read;
    } cases[] = {
        {"cut short",
         [&](const fs::path &file) { fs::resize_file(file, held_at - window_size / 2); },
         a.substr(0, held_at)},
        {"cut short mid-page", [&](const fs::path &file) { fs::resize_file(file, held_at + 1005); },
         a.substr(0, held_at + 1005)},
        {"grown", [](const fs::path &file) { std::ofstream(file, std::ios::app) << "grown"; }, a},
        {"rewritten, its time put back",
         [&](const fs::path &file) {
             const fs::file_time_type modified = fs::last_write_time(file);
             std::fstream(file, std::ios::in | std::ios::out | std::ios::binary)
                     .seekp(static_cast<std::streamoff>(held_at + 100))
                 << rewritten;
             fs::last_write_time(file, modified);
         },
         std::string(a).replace(held_at + 100, rewritten.size(), rewritten)},
        {"rewritten",
         [&](const fs::path &file) {
             std::fstream(file, std::ios::in | std::ios::out | std::ios::binary)
                     .seekp(static_cast<std::streamoff>(held_at + 100))
                 << rewritten;
         },
         std::string(a).replace(held_at + 100, rewritten.size(), rewritten)},
    };
    for (const auto &c : cases) {
        const Scratch scratch;
        scratch.put("a", a);
        ASSERT_EQ(mkfifo((scratch.dir() / "b").c_str(), 0600), 0);
        const std::string held_line =
            console_mismatch(a[held_at - 1], b[held_at - 1], held_at, "l");
        ToolRun run;
        {
            const FifoWriter writer(
                scratch, "b", {b.substr(0, held_at), b.substr(held_at)}, [&](std::size_t piece) {
                    if (piece == 0) {
                        EXPECT_TRUE(eventually(
                            [&] { return scratch.captured_stdout().ends_with(held_line); }));
                        usleep(20000); // a later modification time
                        c.change(scratch.dir() / "a");
                    }
                });
            RunOptions options;
            options.seconds = 20;
            run = scratch.run({"a", "b", "l"}, options);
        }
        SCOPED_TRACE(c.what);
        EXPECT_EQ(run.err, "pairscan: a: file changed as it was read\n");
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.out, banner + announcement(false, "a", "b", "l") +
                               report_body(c.as_read, b, Reports::mismatches, Stream::console));
        EXPECT_EQ(scratch.read("l"),
                  log_head("a", "b") + report_body(c.as_read, b, Reports::mismatches, Stream::log) +
                      trailer);
    }
}

// Inputs of different kinds compared with each other: a file against a pipe, an endless device
// and an empty FIFO, and a /proc file, whose size says nothing, against a copy of it.
TEST(ArrivingInputs, MixedKinds) {
    const Scratch scratch;
    scratch.put("abc", "abc");
    ASSERT_EQ(mkfifo((scratch.dir() / "fifo").c_str(), 0600), 0);
    std::ifstream proc_file("/proc/version");
    scratch.put("copy", std::string(std::istreambuf_iterator<char>(proc_file), {}));
    const std::string sys_file = "/sys/devices/system/cpu/online"; // cannot be mapped
    std::ifstream sys_bytes(sys_file);
    scratch.put("sys", std::string(std::istreambuf_iterator<char>(sys_bytes), {}));
    const std::string zero(1, '\0');
    const struct {
        Args args;
        std::string stdin_bytes;
        bool empty_fifo;
        std::string body;
    } cases[] = {
        {{"abc", "/dev/stdin", "l"},
         "abXd",
         false,
         console_mismatch('c', 'X', 3, "l") + console_verdict("abc", "/dev/stdin")},
        {{"abc", "/dev/zero", "l"},
         "",
         false,
         console_mismatch('a', '\0', 1, "l") + console_mismatch('b', '\0', 2, "l") +
             console_mismatch('c', '\0', 3, "l") + console_verdict("abc", "/dev/zero")},
        {{"abc", "fifo", "l"}, "", true, console_verdict("fifo", "abc")},
        {{"/proc/version", "copy", "l"}, "", false, ""},
        {{sys_file, "sys", "l"}, "", false, ""},
    };
    for (const auto &c : cases) {
        std::optional<FifoWriter> writer;
        if (c.empty_fifo) {
            writer.emplace(scratch, "fifo", std::vector<std::string>{});
        }
        RunOptions options = stdin_from(c.stdin_bytes);
        options.seconds = 5;
        const ToolRun run = scratch.run(c.args, options);
        writer.reset();
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        EXPECT_EQ(run.out, banner + announcement(false, c.args[0], c.args[1], "l") + c.body);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.status, 0);
    }
}

// No input is an output of the run, and the log is not standard error's file: the tool would
// compare its own text, or the diagnostics and the log would overwrite each other. What the file
// held before stays, and a log that the refused run made goes again, even one made where a
// dangling link, or a chain of them, pointed.
TEST(StandardFiles, NoInputIsAnOutputAndTheLogIsNotStandardError) {
    const auto input_is = [](const std::string &input, const std::string &which = "output") {
        return "pairscan: input file '" + input + "' is the same file as standard " + which +
               "; not reading it\n";
    };
    const std::string log_is_err =
        "pairscan: log file 'err' is the same file as standard error; not overwriting it\n";
    const struct {
        Args args;
        Stdout out;
        const char *stdout_file;
        const char *stderr_file;
        bool appends;
        std::string err;
        bool replaced = false; // another file put in place of the log the run made stays
    } cases[] = {
        {{"out", "b", "l"}, Stdout::work_file, "out", "", false, input_is("out")},
        {{"b", "out", "l"}, Stdout::work_file, "out", "", true, input_is("out")},
        {{"b", "out", "dangling"}, Stdout::work_file, "out", "", true, input_is("out")},
        {{"b", "out", "chain"}, Stdout::work_file, "out", "", true, input_is("out")},
        {{"b", "out", "l"}, Stdout::work_file, "out", "", true, input_is("out"), true},
        {{"/dev/stdout", "b", "l"}, Stdout::piped, "", "", false, input_is("/dev/stdout")},
        {{"b", "err", "l"}, Stdout::captured, "", "err", false, input_is("err", "error")},
        {{"a", "b", "err"}, Stdout::captured, "", "err", false, log_is_err},
        {{"a", "b", "err"}, Stdout::captured, "", "err", true, log_is_err},
    };
    for (const auto &c : cases) {
        const Scratch scratch;
        scratch.put("a", "abc");
        scratch.put("b", "abd");
        scratch.put("out", "earlier\n");
        scratch.put("err", "earlier\n");
        fs::create_symlink("made", scratch.dir() / "dangling");
        fs::create_symlink("dangling", scratch.dir() / "chain");
        RunOptions options = c.replaced ? with_fault("PAIRSCAN_REPLACE=l:err") : RunOptions{};
        options.out = c.out;
        options.stdout_file = c.stdout_file;
        options.stdout_appends = c.appends;
        options.stderr_file = c.stderr_file;
        options.stderr_appends = c.appends;
        options.seconds = 1;
        const ToolRun run = scratch.run(c.args, options);
        SCOPED_TRACE(c.args[0] + " " + c.args[1] + " " + c.args[2] + (c.appends ? ", >>" : ", >"));
        const std::string before = c.appends ? "earlier\n" : "";
        const std::string shown = banner + announcement(false, c.args[0], c.args[1], c.args[2]);
        EXPECT_EQ(*c.stderr_file != '\0' ? scratch.read("err") : before + run.err, before + c.err);
        EXPECT_EQ(*c.stdout_file != '\0' ? scratch.read("out") : before + run.out, before + shown);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(scratch.read("b"), "abd");
        EXPECT_EQ(scratch.exists("l") || scratch.exists("made"), c.replaced);
    }
}

// A standard descriptor closed at start cannot be reopened by name: nothing is read from an
// empty stand-in nor written into a void.
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

    RunOptions no_stderr;
    no_stderr.stderr_closed = true;
    run = scratch.run({"b", "b", "/dev/stderr"}, no_stderr);
    EXPECT_EQ(run.out, banner + announcement(false, "b", "b", "/dev/stderr"));
    EXPECT_EQ(run.status, 2);
}

// A parent may leave standard output a non-blocking pipe; a reader that is slow to start is
// waited for, not taken for a failure.
TEST(ConsoleTrouble, NonBlockingPipeWithALateReaderGetsEverything) {
    const Scratch scratch;
    const std::string a(3000, 'a');
    scratch.put("a", a);
    scratch.put("b", differing_copy(a, {1, 1500, 3000}));
    const Args args{"a", "b", "l", "v"};
    const ToolRun reference = scratch.run(args);
    ASSERT_GT(reference.out.size(), std::size_t{65536}) << "outlasts a pipe's buffer";
    RunOptions options = stdout_to(Stdout::piped);
    options.stdout_nonblocking = true;
    options.meanwhile = [](pid_t) { sleep(1); };
    const ToolRun run = scratch.run(args, options);
    EXPECT_EQ(run.out, reference.out);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
}

// On a terminal, the report lines are shown like anywhere else.
TEST(ConsoleTrouble, TerminalShowsTheReport) {
    const Scratch scratch;
    scratch.put("a", "abcdef");
    scratch.put("b", "abXdefg");
    for (const Args &args : {Args{"a", "b", "l"}, Args{"a", "b", "l", "v"}}) {
        const ToolRun reference = scratch.run(args);
        const ToolRun run = scratch.run(args, stdout_to(Stdout::terminal));
        EXPECT_EQ(run.out, reference.out);
        EXPECT_EQ(run.status, 0);
    }
}

// SIGTERM while a report line is half written (standard output takes each write a byte at a
// time, as the kernel shortens writes when a signal comes): the line is finished on both outputs,
// nothing follows it (no verdict, no trailer), and the tool then ends by SIGTERM.
TEST(Signals, TerminationEndsTheRunBetweenLines) {
    const Scratch scratch;
    const std::string a(20000, 'a');
    scratch.put("a", a);
    scratch.put("b", std::string(20000, 'b') + "longer");
    RunOptions options = with_fault(
        "PAIRSCAN_FAULT_SHORT=" + (fs::canonical(scratch.dir()) / "out").string() + ":1");
    options.out = Stdout::work_file;
    options.stdout_file = "out";
    options.meanwhile = [](pid_t tool) {
        usleep(300000);
        kill(tool, SIGTERM);
    };
    const ToolRun run = scratch.run({"a", "b", "l"}, options);
    EXPECT_EQ(run.status, 128 + SIGTERM);
    const std::string out = scratch.read("out");
    std::string expected_out = banner + announcement(false, "a", "b", "l");
    std::string expected_log = log_head("a", "b");
    unsigned long lines = 0;
    while (expected_out.size() < out.size()) {
        ++lines;
        expected_out += console_mismatch('a', 'b', lines, "l");
        expected_log += log_mismatch('a', 'b', lines);
    }
    EXPECT_EQ(out, expected_out);
    EXPECT_EQ(scratch.read("l"), expected_log);
    EXPECT_LT(lines, a.size()) << "the run was stopped";
}

// A stop signal ends the run at once wherever it waits: for an input that holds back its bytes,
// for the log's FIFO to get a reader, for standard output (a pipe not read yet), or for the next
// window of two regular files (mapped slowly here). Nothing more is written, standard error stays
// empty, and the status names the signal. A SIGHUP that the caller ignored stays ignored, and a
// SIGBUS sent by kill is no fault of a window: it ends the tool as it ends any program. A log made
// just before the stop goes again.
TEST(Signals, AWaitForInputEndsAtOnce) {
    const std::string big(std::size_t{8} << 20, 'x');
    const struct {
        int signal;
        Args args;
        bool ignored;
        Stdout out;
    } cases[] = {{SIGINT, {"fifo", "b", "l"}, false, Stdout::captured},
                 {SIGHUP, {"fifo", "b", "l"}, false, Stdout::captured},
                 {SIGHUP, {"fifo", "b", "l"}, true, Stdout::captured},
                 {SIGBUS, {"fifo", "b", "l"}, false, Stdout::captured},
                 {SIGTERM, {"b", "b", "fifo"}, false, Stdout::captured},
                 {SIGTERM, {"big", "big", "l", "v"}, false, Stdout::piped},
                 {SIGINT, {"big", "big2", "l"}, false, Stdout::captured},
                 {SIGTERM, {"b", "b", "made"}, false, Stdout::captured}};
    for (const auto &c : cases) {
        const Scratch scratch;
        ASSERT_EQ(mkfifo((scratch.dir() / "fifo").c_str(), 0600), 0);
        scratch.put("b", "abcdef");
        scratch.put("big", big);
        scratch.put("big2", big);
        RunOptions options = with_fault(
            "PAIRSCAN_FAULT_SLOW=" + (fs::canonical(scratch.dir()) / "big").string() + ":300");
        options.env.emplace_back("PAIRSCAN_STOP=made:" + std::to_string(SIGTERM));
        options.out = c.out;
        options.sighup_ignored = c.ignored;
        options.meanwhile = [&c](pid_t tool) {
            usleep(c.out == Stdout::piped ? 1000000 : 200000); // a second to fill the pipe
            kill(tool, c.signal);
        };
        const bool fifo_input = c.args[0] == "fifo";
        std::optional<FifoWriter> writer;
        if (fifo_input) {
            writer.emplace(scratch, "fifo", std::vector<std::string>{"ab"},
                           [](std::size_t) { sleep(1); });
        }
        const ToolRun run = scratch.run(c.args, options);
        writer.reset();
        SCOPED_TRACE(std::to_string(c.signal) + " " + c.args[0] + " " + c.args[2]);
        EXPECT_EQ(run.status, c.ignored ? 0 : 128 + c.signal);
        EXPECT_EQ(run.err, "");
        const std::string shown =
            banner + announcement(c.args.size() == 4, c.args[0], c.args[1], c.args[2]);
        EXPECT_EQ(c.out == Stdout::piped ? run.out.substr(0, shown.size()) : run.out,
                  shown + (c.ignored ? console_verdict("fifo", "b") : ""));
        EXPECT_FALSE(scratch.exists("made"));
        if (c.args[2] == "l" && c.out == Stdout::captured) {
            EXPECT_EQ(scratch.read("l"), log_head(c.args[0], c.args[1]) +
                                             (c.ignored ? log_verdict("fifo", "b") + trailer : ""));
        }
    }
}
