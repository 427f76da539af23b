// Inputs of every kind, as they arrive: pipes, FIFOs, terminals, devices and /proc files, one
// writer feeding both, names of any bytes; each report exactly that of reading byte by byte.

#include "byte_reference.hpp"
#include "expected_texts.hpp"
#include "tool_runner.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <optional>
#include <thread>

using namespace expect;
using Args = std::vector<std::string>;

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

// One writer feeding both inputs, in either order it opens them, never waits for the tool while
// the tool waits for it, even when it fills one pipe before it turns to the other: the run ends,
// with the exact report. tr makes the second copy differ wherever a byte 1 stands.
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
        {"exec 3>f1 4>f2; for i in 0 1 2 3 4; do dd if=src bs=200000 skip=\\$i count=1 >&3; dd "
         "if=src bs=200000 skip=\\$i count=1 >&4; done",
         data, data},
    };
    for (const auto &c : cases) {
        const Scratch scratch;
        ASSERT_EQ(mkfifo((scratch.dir() / "f1").c_str(), 0600), 0);
        ASSERT_EQ(mkfifo((scratch.dir() / "f2").c_str(), 0600), 0);
        scratch.put("src", data);
        std::thread writer([&] {
            EXPECT_TRUE(scratch.shell("timeout 20 sh -c \"" + std::string(c.command) + "\""));
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

// Inputs of different kinds compared with each other: a file against a pipe, an endless device,
// an empty FIFO and /dev/null, and a /proc file, whose size says nothing, against a copy of it.
TEST(ArrivingInputs, MixedKinds) {
    const Scratch scratch;
    scratch.put("abc", "abc");
    scratch.put("empty", "");
    scratch.put("x", "x");
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
        {{"/dev/null", "empty", "l"}, "", false, ""},
        {{"x", "/dev/null", "l"}, "", false, console_verdict("/dev/null", "x")},
        {{sys_file, "sys", "l"}, "", false, ""},
    };
    for (const auto &c : cases) {
        std::optional<FifoWriter> writer;
        if (c.empty_fifo) {
            writer.emplace(scratch, "fifo", std::vector<std::string>{});
        }
        RunOptions options;
        options.stdin_bytes = c.stdin_bytes;
        options.seconds = 5;
        const ToolRun run = scratch.run(c.args, options);
        writer.reset();
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        EXPECT_EQ(run.out, banner + announcement(false, c.args[0], c.args[1], "l") + c.body);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.status, 0);
    }
}
