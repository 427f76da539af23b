#include "sweep_common.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

namespace fs = std::filesystem;
using namespace expect;

// A prefix of text that ends with a whole line, or all of it.
bool whole_lines_of(const std::string &part, const std::string &text) {
    return text.starts_with(part) && (part.empty() || part.back() == '\n' || part == text);
}

// The lines of text past its first head bytes that its first length bytes begin.
std::size_t lines_in(const std::string &text, std::size_t head, std::size_t length) {
    const std::string part = text.substr(0, length);
    return part.size() <= head ? 0
                               : std::count(part.begin() + long(head), part.end(), '\n') +
                                     std::size_t(part.back() != '\n');
}

// Two files over two windows, compared by their layout: a holds a hole inside its first window,
// up to its last page, and ends in one; b holds zeros against them, with a few bytes that are
// not, and a hole of its own inside a's.
Scenario by_layout() {
    std::string a = pattern(window_size + 300000);
    const std::size_t mib = std::size_t{1} << 20;
    const std::vector<std::array<std::size_t, 3>> holes{{0, mib, window_size - 4096},
                                                        {0, window_size + 250000, a.size()},
                                                        {1, mib + 65536, mib + 524288}};
    for (const auto &[file, from, to] : holes) {
        a.replace(from, to - from, to - from, '\0'); // b's hole lies in a's
    }
    const std::string b = differing_copy(a, {3, 4097, mib + 5, window_size - 1, window_size + 10,
                                             window_size + 200000}) +
                          "tail";
    return {"two windows, by layout", {"a", "b", "l"}, a, b, "", holes};
}

namespace {

// Each input made anew, its holes never written, so that no page of them is in the page cache;
// the log as the scenario has it.
void make_inputs(const Scratch &scratch, const Scenario &scenario) {
    for (const std::size_t k : {0U, 1U}) {
        const std::string &bytes = k == 0 ? scenario.a : scenario.b;
        const fs::path file = scratch.dir() / (k == 0 ? "a" : "b");
        fs::remove(file);
        std::ofstream out(file, std::ios::binary);
        std::size_t from = 0; // where the bytes not yet written begin
        for (const auto &[in, hole, end] : scenario.holes) {
            if (in == k) {
                out.write(&bytes[from], long(hole - from)).seekp(long(end));
                from = end;
            }
        }
        out.write(&bytes[from], long(bytes.size() - from)).flush();
        fs::resize_file(file, bytes.size()); // a hole at the end too
    }
    fs::remove(scratch.dir() / "l");
    fs::remove(scratch.dir() / "a.link");
    if (!scenario.old_log.empty()) {
        scratch.put("l", scenario.old_log);
    }
}

// Feeds a through the FIFO as a whole block, three bytes, then the rest; with flushed given, the
// report lines of each part must be out while the FIFO holds back the next.
void feed_fifo(std::optional<FifoWriter> &writer, const Scratch &scratch, const Scenario &scenario,
               const Reference *flushed) {
    const std::size_t ends[] = {block_size, block_size + 3, scenario.a.size()};
    const std::vector pieces{scenario.a.substr(0, ends[0]), scenario.a.substr(ends[0], 3),
                             scenario.a.substr(ends[1])};
    writer.emplace(
        scratch, "fifo", pieces, [&scratch, &scenario, flushed, ends](std::size_t piece) {
            if (flushed == nullptr || piece == 2) {
                return;
            }
            const auto count = std::count_if(
                flushed->outcome.pairs.begin(), flushed->outcome.pairs.end(),
                [&](const Pair &reported) { return std::get<2>(reported) <= ends[piece]; });
            const Shorter settled =
                scenario.b.size() < ends[piece] ? Shorter::second : Shorter::neither;
            EXPECT_TRUE(eventually([&] {
                return scratch.captured_stdout() == flushed->text(true, count, settled) &&
                       scratch.read("l") + (settled == Shorter::neither ? trailer : "") ==
                           flushed->text(false, count, settled);
            })) << "lines held back while the FIFO waits, after part "
                << piece;
        });
}

// What the fault library noted, from its file.
Notes read_notes(const fs::path &notes_file) {
    Notes notes;
    std::ifstream in(notes_file);
    for (std::string word; in >> word;) {
        for (unsigned long count = 0; word == "calls" && notes.calls.size() < 12 && in >> count;) {
            notes.calls.push_back(count);
        }
        if (word == "fired") {
            in >> notes.fired.emplace() >> notes.out >> notes.log;
        } else if (word == "file_reads") {
            in >> notes.file_reads;
        } else if (word == "cut") {
            in >> notes.cut >> notes.out;
        }
    }
    return notes;
}

} // namespace

std::pair<ToolRun, Notes> run_once(const Scratch &scratch, const Scenario &scenario,
                                   const std::string &setting, const Reference *flushed) {
    make_inputs(scratch, scenario);
    const fs::path notes_file = scratch.dir().parent_path() / "notes";
    fs::remove(notes_file);
    RunOptions options = with_fault(setting);
    options.env.push_back("PAIRSCAN_NOTES=" + notes_file.string());
    options.seconds = 3; // no hang, and no stop held up
    options.out = scenario.out;
    std::optional<FifoWriter> writer;
    if (scenario.args[0] == "fifo") {
        feed_fifo(writer, scratch, scenario, flushed);
    }
    const ToolRun tool = scratch.run(scenario.args, options);
    writer.reset();
    Notes notes = read_notes(notes_file);
    for (const auto &[file, from, to] : scenario.holes) { // b's holes lie in a's: holes in both
        notes.brought_in +=
            file == 0 ? 0
                      : scratch.pages_cached("a", from, to) + scratch.pages_cached("b", from, to);
    }
    return {tool, notes};
}
