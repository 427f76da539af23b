// The built tool, run on real files: exact standard output, log, standard error and exit status.

#include "byte_reference.hpp"
#include "expected_texts.hpp"
#include "tool_runner.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <optional>
#include <utility>

namespace fs = std::filesystem;
using Files = std::vector<std::pair<std::string, std::string>>;
using Args = std::vector<std::string>;

// The usage text that cannot be shown (a full console) is a failure like any other.
TEST(Invocation, RefusedArgumentCountsShowUsageAndCreateNothing) {
    for (const Args &args : {Args{}, Args{"a"}, Args{"a", "b"}, Args{"a", "b", "c", "d", "e"},
                             Args{"a", "b", "c", "d", "e", "f", "g"}}) {
        const Scratch scratch;
        const ToolRun run = scratch.run(args);
        EXPECT_EQ(run.out, expect::banner + expect::usage) << args.size() << " arguments";
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(fs::is_empty(scratch.dir())) << "no file may be created";
        const ToolRun full = scratch.run(args, {.out = Stdout::full_device});
        EXPECT_EQ(full.err + std::to_string(full.status),
                  "pairscan: standard output: No space left on device\n2");
    }
}

TEST(Invocation, WorkedExampleLineForLine) {
    const Scratch scratch;
    scratch.put("a", "AB");
    scratch.put("b", "AXCD");
    const mode_t umask_before = umask(002); // a new log is readable by all, less the umask
    const ToolRun run = scratch.run({"a", "b", "l", "v"});
    umask(umask_before);
    EXPECT_EQ(fs::status(scratch.dir() / "l").permissions(), static_cast<fs::perms>(0664));
    EXPECT_EQ(run.out, expect::banner + "\n"
                                        "Comparing\n"
                                        "a\n"
                                        "with\n"
                                        "b\n"
                                        "logging everything into\n"
                                        "l\n"
                                        "with full screen display\n"
                                        "\n"
                                        "File 1 : A File 2 : A at Position : 1 does match\n"
                                        "File 1 : B File 2 : X at Position : 2 File 1 : B File 2 : "
                                        "X at Position : 2 no match, writing to l\n"
                                        "\n"
                                        "a seems to be shorter then b\n"
                                        "\n");
    EXPECT_EQ(scratch.read("l"), "pairscan " + expect::version + expect::notice +
                                     "\n"
                                     "\n"
                                     "Comparing a with b\n"
                                     "\n"
                                     "File 1 : A File 2 : A at Position : 1 does match\n"
                                     "File 1 : B File 2 : X at Position : 2 File 1 : B File 2 : X "
                                     "at Position : 2 does not match\n"
                                     "\n"
                                     "\n"
                                     "a seems to be shorter then b\n"
                                     "\n"
                                     "\n"
                                     "done comparing\n"
                                     "EOF");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
}

// Files a and b against each other, with the log l: standard output and the log report exactly
// what reading a byte of each at a time gives. A fourth argument, even an empty one, is verbose.
TEST(Invocation, ReportsWhatByteByByteGives) {
    using namespace expect;
    const std::string zero(1, '\0');
    const std::string thousand(1001, 'x'); // and a copy that differs across each power of ten
    const std::string changed =
        differing_copy(thousand, {3, 9, 10, 11, 57, 99, 100, 101, 640, 999, 1000, 1001});
    const struct {
        std::string a;
        std::string b;
        bool verbose;
    } cases[] = {{"hello", "hello", false},
                 {"hi", "hi", true},
                 {"abc", "abd", false},
                 {"abc", "ab", false},
                 {"", "", true},
                 {"a" + zero + "\n", "a\nX", false},
                 {"\n" + zero + "\n" + zero, "\n\n" + zero + zero, true},
                 {thousand, changed, false},
                 {thousand, changed, true}};
    for (const auto &c : cases) {
        const Scratch scratch;
        scratch.put("a", c.a);
        scratch.put("b", c.b);
        const ToolRun run = scratch.run(c.verbose ? Args{"a", "b", "l", ""} : Args{"a", "b", "l"});
        const Reports reports = c.verbose ? Reports::every_pair : Reports::mismatches;
        SCOPED_TRACE(c.a.substr(0, 10) + " against " + c.b.substr(0, 10));
        EXPECT_EQ(run.out, banner + announcement(c.verbose, "a", "b", "l") +
                               report_body(c.a, c.b, reports, Stream::console));
        EXPECT_EQ(scratch.read("l"),
                  log_head("a", "b") + report_body(c.a, c.b, reports, Stream::log) + trailer);
        EXPECT_EQ(run.err + std::to_string(run.status), "0");
        EXPECT_EQ(scratch.read("a") + scratch.read("b"), c.a + c.b) << "inputs are never modified";
    }
}

// A run whose standard output is the banner and the announcement followed by `out_body`, and
// whose log is the log head, `log_body` and the trailer (no log file when it is absent).
struct RunCase {
    const char *name;
    Files files;
    Args args;
    std::string out_body;
    std::optional<std::string> log_body;
    std::string err;
    int status;
    RunOptions options{};
};

void PrintTo(const RunCase &c, std::ostream *os) { *os << c.name; }

class Runs : public testing::TestWithParam<RunCase> {};

TEST_P(Runs, ProduceExactTexts) {
    const RunCase &c = GetParam();
    const Scratch scratch;
    for (const auto &[name, bytes] : c.files) {
        if (name.back() == '/') {
            fs::create_directory(scratch.dir() / name);
        } else if (name.back() == '@') { // a symbolic link to what bytes name, / the directory
            fs::create_symlink(bytes.starts_with('/') ? scratch.dir().string() + bytes : bytes,
                               scratch.dir() / name.substr(0, name.size() - 1));
        } else {
            scratch.put(name, bytes);
        }
    }
    const ToolRun run = scratch.run(c.args, c.options);
    const Args &a = c.args;
    EXPECT_EQ(run.out,
              expect::banner + expect::announcement(a.size() == 4, a[0], a[1], a[2]) + c.out_body);
    if (c.log_body) {
        EXPECT_EQ(scratch.read(a[2]), expect::log_head(a[0], a[1]) + *c.log_body + expect::trailer);
    } else if (a[2].front() != '/') {
        EXPECT_FALSE(scratch.exists(a[2]));
    }
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(run.status, c.status);
    for (const auto &[name, bytes] : c.files) {
        if (name.back() != '/' && name.back() != '@' && name != a[2]) {
            EXPECT_EQ(scratch.read(name), bytes) << "inputs are never modified";
        }
    }
}

using namespace expect;

// A dangling target that, joined to "d/", fills all 4096 bytes of a path but for its NUL.
const std::string edge_target = "t" + std::string(4092, '/') + "t";

// Two inputs and a chain of 40 dangling links, as many as the kernel follows in one name.
Files forty_links() {
    Files files{{"a", "x"}, {"b", "y"}};
    for (int k = 1; k <= 40; ++k) {
        files.emplace_back("l" + std::to_string(k) + "@",
                           k < 40 ? "l" + std::to_string(k + 1) : "made");
    }
    return files;
}

INSTANTIATE_TEST_SUITE_P(
    Tool, Runs,
    testing::Values(
        // Names are used exactly as typed, in every text: blanks, a newline, bytes that are not
        // UTF-8, a leading dash.
        RunCase{"NamesAsTyped", Files{{"-my file", "xa"}, {"new\nline", "y"}},
                Args{"-my file", "new\nline", "caf\xe9 log"},
                console_mismatch('x', 'y', 1, "caf\xe9 log") +
                    console_verdict("new\nline", "-my file"),
                log_mismatch('x', 'y', 1) + log_verdict("new\nline", "-my file"), "", 0},
        RunCase{"LogMadeWhereADanglingLinkPoints",
                Files{{"a", "x"}, {"b", "y"}, {"d/", ""}, {"d/link@", "made"}},
                Args{"a", "b", "d/link"}, console_mismatch('x', 'y', 1, "d/link"),
                log_mismatch('x', 'y', 1), "", 0},
        RunCase{"LogMadeWhereADanglingLinkPointsByAbsolutePath",
                Files{{"a", "x"}, {"b", "y"}, {"d/", ""}, {"d/link@", "/made"}},
                Args{"a", "b", "d/link"}, console_mismatch('x', 'y', 1, "d/link"),
                log_mismatch('x', 'y', 1), "", 0},
        RunCase{"LogMadeAtTheEndOfFortyDanglingLinks", forty_links(), Args{"a", "b", "l1"},
                console_mismatch('x', 'y', 1, "l1"), log_mismatch('x', 'y', 1), "", 0},
        RunCase{"LogLinkTargetTooLongByItsEnd",
                Files{{"a", "x"}, {"b", "y"}, {"d/", ""}, {"d/link@", edge_target}},
                Args{"a", "b", "d/link"}, console_mismatch('x', 'y', 1, "d/link"), std::nullopt,
                "pairscan: d/link: File name too long\n", 2},
        RunCase{"MissingSecondFirstEmpty", Files{{"a", ""}}, Args{"a", "no\nsuch \xff", "l", "v"},
                console_verdict("no\nsuch \xff", "a"), log_verdict("no\nsuch \xff", "a"),
                "pairscan: no\nsuch \xff: No such file or directory\n", 2},
        RunCase{"MissingBoth", Files{}, Args{"no1", "no2", "l"}, "", "",
                "pairscan: no1: No such file or directory\n"
                "pairscan: no2: No such file or directory\n",
                2},
        RunCase{"DirectoryAsInput", Files{{"d/", ""}, {"b", "xy"}}, Args{"d", "b", "l"},
                console_verdict("d", "b"), log_verdict("d", "b"), "pairscan: d: Is a directory\n",
                2},
        RunCase{"LogNamesAMissingInput", Files{{"b", "x"}}, Args{"ghost", "b", "./ghost"},
                console_verdict("ghost", "b"), log_verdict("ghost", "b"),
                "pairscan: ghost: No such file or directory\n", 2},
        RunCase{"LogNameJustUnderTheStreamBuffer", Files{{"a", "ab"}, {"b", "ax"}},
                Args{"a", "b", std::string(4067, 'n')},
                console_mismatch('b', 'x', 2, std::string(4067, 'n')), std::nullopt,
                "pairscan: " + std::string(4067, 'n') + ": File name too long\n", 2},
        RunCase{"LogOnFullDevice", Files{{"a", "ab"}, {"b", "ax"}}, Args{"a", "b", "/dev/full"},
                console_mismatch('b', 'x', 2, "/dev/full"), std::nullopt,
                "pairscan: /dev/full: No space left on device\n", 2},
        // A pipe is shared line by line, so a log on standard output's pipe stays allowed.
        RunCase{"LogOnStandardOutputsPipe", Files{{"a", "abc"}, {"b", "abd"}},
                Args{"a", "b", "/dev/stdout"},
                log_head("a", "b") + console_mismatch('c', 'd', 3, "/dev/stdout") +
                    log_mismatch('c', 'd', 3) + trailer,
                std::nullopt, "", 0, RunOptions{.out = Stdout::piped}},
        // Standard error closed at start is not reopened by name: not as the log, where a
        // diagnostic would land inside it, nor for a diagnostic.
        RunCase{"LogOnClosedStandardError", Files{{"b", "xyz"}}, Args{"b", "b", "/dev/stderr"}, "",
                std::nullopt, "", 2, RunOptions{.stderr_closed = true}},
        RunCase{"MissingInputWithStandardErrorClosed", Files{{"b", "xyz"}},
                Args{"nofile", "b", "l"}, console_verdict("nofile", "b"),
                log_verdict("nofile", "b"), "", 2, RunOptions{.stderr_closed = true}}),
    [](const testing::TestParamInfo<RunCase> &row) { return row.param.name; });

// The log never replaces an input, whichever name leads to it, in either place; devices and FIFOs
// are told apart by identity too, without opening them: a FIFO would block the open (each run
// must end within a second), and a device would be written over.
TEST(LogGuard, RefusesToOverwriteAnInput) {
    using Make = void (*)(const fs::path &target, const fs::path &alias);
    const struct {
        const char *input;
        const char *log;
        Make make;
    } cases[] = {
        {"f", "f", nullptr},
        {"f", "alias", [](const fs::path &t, const fs::path &a) { fs::create_hard_link(t, a); }},
        {"f", "alias", [](const fs::path &t, const fs::path &a) { fs::create_symlink(t, a); }},
        {"fifo", "fifo", nullptr},
        {"/dev/zero", "/dev/zero", nullptr},
    };
    for (const auto &c : cases) {
        for (bool first : {true, false}) {
            const Scratch scratch;
            scratch.put("f", "abc");
            scratch.put("g", "abd");
            ASSERT_EQ(mkfifo((scratch.dir() / "fifo").c_str(), 0600), 0);
            if (c.make != nullptr) {
                c.make(scratch.dir() / c.input, scratch.dir() / c.log);
            }
            const Args args = first ? Args{c.input, "g", c.log} : Args{"g", c.input, c.log};
            RunOptions options;
            options.seconds = 1;
            const ToolRun run = scratch.run(args, options);
            SCOPED_TRACE(args[0] + " " + args[1] + " " + args[2]);
            EXPECT_EQ(run.out,
                      expect::banner + expect::announcement(false, args[0], args[1], args[2]));
            EXPECT_EQ(run.err, expect::log_refusal(c.log, c.input));
            EXPECT_EQ(run.status, 2);
            EXPECT_EQ(scratch.read("f") + scratch.read("g"), "abcabd");
        }
    }
}
