// Inputs of every kind, as they arrive: pipes, FIFOs, terminals, devices and /proc files, one
// writer feeding both; each report exactly that of reading byte by byte.

#include "byte_reference.hpp"
#include "expected_texts.hpp"
#include "tool_runner.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <optional>
#include <thread>

using namespace expect;
using Args = std::vector<std::string>;

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
        const ToolRun run = scratch.run({"f1", "f2", "l"}, {.seconds = 20});
        writer.join();
        SCOPED_TRACE(c.command);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.out,
                  banner + announcement(false, "f1", "f2", "l") +
                      report_body(c.first, c.second, Reports::mismatches, Stream::console));
    }
}

// Inputs of different kinds compared with each other: a file against a pipe, an endless device,
// an empty FIFO and /dev/null, a /proc file, whose size says nothing, against a copy of it, and a
// terminal against a FIFO of the same writer. A terminal is read only when it has something, as a
// pipe is: the writer, which fills the FIFO before it types, is never left waiting meanwhile.
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
    int keyboard[2] = {-1, -1};
    open_terminal(keyboard);
    const std::string terminal = ptsname(keyboard[0]);
    const std::string typed = std::string(100000, 't') + "!"; // the FIFO gets all but the last
    const struct {
        Args args;
        std::string stdin_bytes;
        std::optional<std::vector<std::string>> fifo; // what the FIFO gets before the typing
        std::string body;
    } cases[] = {
        {Args{"abc", "/dev/stdin", "l"},
         "abXd",
         {},
         console_mismatch('c', 'X', 3, "l") + console_verdict("abc", "/dev/stdin")},
        {Args{"abc", "/dev/zero", "l"},
         "",
         {},
         console_mismatch('a', '\0', 1, "l") + console_mismatch('b', '\0', 2, "l") +
             console_mismatch('c', '\0', 3, "l") + console_verdict("abc", "/dev/zero")},
        {Args{"abc", "fifo", "l"}, "", std::vector<std::string>{}, console_verdict("fifo", "abc")},
        {Args{"/proc/version", "copy", "l"}, "", {}, ""},
        {Args{"/dev/null", "empty", "l"}, "", {}, ""},
        {Args{"x", "/dev/null", "l"}, "", {}, console_verdict("/dev/null", "x")},
        {Args{sys_file, "sys", "l"}, "", {}, ""},
        {Args{terminal, "fifo", "l"}, "", std::vector{typed.substr(0, typed.size() - 1)},
         console_verdict("fifo", terminal)},
    };
    fcntl(keyboard[0], F_SETFL, O_NONBLOCK); // typing gives up once the tool is gone
    const auto type = [&](std::size_t) {
        std::size_t sent = 0;
        for (int tries = 0; sent < typed.size() && tries < 10000; ++tries) {
            const ssize_t size = write(keyboard[0], typed.data() + sent, typed.size() - sent);
            sent += size > 0 ? static_cast<std::size_t>(size) : 0;
            usleep(size > 0 ? 0 : 1000);
        }
    };
    for (const auto &c : cases) {
        std::optional<FifoWriter> writer;
        if (c.fifo) {
            writer.emplace(scratch, "fifo", *c.fifo, type);
        }
        const ToolRun run = scratch.run(c.args, {.stdin_bytes = c.stdin_bytes, .seconds = 5});
        writer.reset();
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        EXPECT_EQ(run.out, banner + announcement(false, c.args[0], c.args[1], "l") + c.body);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.status, 0);
    }
    close(keyboard[0]);
    close(keyboard[1]);
}
