// What the sweeps share: the byte-by-byte reference of a run's texts, the scenarios they run, and
// one run of a scenario with the fault library loaded, with what the library noted.
#pragma once

#include "byte_reference.hpp"
#include "expected_texts.hpp"
#include "tool_runner.hpp"

#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

using Args = std::vector<std::string>;

// The texts of a run on two inputs as the byte-by-byte reference has them, or as they stand when
// the run reported only the first count of its pairs and then the verdict shorter.
struct Reference {
    Args args;
    Outcome outcome;

    Reference(Args names, const std::string &a, const std::string &b)
        : args(std::move(names)),
          outcome(byte_by_byte(a, b, args.size() == 4 ? Mode::verbose : Mode::mismatch,
                               args[0] == "nofile")) {}
    std::string line(const Pair &reported, bool console) const {
        const auto [z1, z2, position] = reported;
        const std::string mismatch = console ? expect::console_mismatch(z1, z2, position, args[2])
                                             : expect::log_mismatch(z1, z2, position);
        return args.size() == 3 ? mismatch
               : z1 == z2       ? expect::match(z1, position)
                                : expect::pair(z1, z2, position) + " " + mismatch;
    }
    std::string head(bool console) const {
        return console ? expect::banner +
                             expect::announcement(args.size() == 4, args[0], args[1], args[2])
                       : expect::log_head(args[0], args[1]);
    }
    std::string text(bool console, std::size_t count, Shorter shorter) const {
        std::string text = head(console);
        for (std::size_t i = 0; i < count; ++i) {
            text += line(outcome.pairs[i], console);
        }
        const std::string &first = shorter == Shorter::first ? args[0] : args[1];
        const std::string &other = shorter == Shorter::first ? args[1] : args[0];
        if (shorter != Shorter::neither) {
            text +=
                console ? expect::console_verdict(first, other) : expect::log_verdict(first, other);
        }
        return console ? text : text + expect::trailer;
    }
    std::string whole(bool console) const {
        return text(console, outcome.pairs.size(), outcome.shorter);
    }
};

// A prefix of text that ends with a whole line, or all of it.
bool whole_lines_of(const std::string &part, const std::string &text);

// The lines of text past its first head bytes that its first length bytes begin.
std::size_t lines_in(const std::string &text, std::size_t head, std::size_t length);

// What the fault library noted in one run: the calls of each kind and the steps of the changed
// file; the descriptor of the call that got the answer; the bytes on standard output and in the
// log then, or when the file was changed, and whether it was open.
struct Notes {
    std::vector<unsigned long> calls;
    unsigned long long brought_in = 0; // pages of the holes in both that the run brought in
    unsigned long file_reads = 0;      // read(2) calls on the changed file
    std::optional<int> fired;
    std::size_t out = 0, log = 0;
    std::string cut;
};

// The inputs of the runs, made anew for each: a and b, with holes where given (file 0 or 1, from,
// to), and a fed through the FIFO "fifo" when the first argument names it.
struct Scenario {
    const char *what;
    Args args;
    std::string a;
    std::string b;
    std::string old_log{}; // what the log holds before the run; none when empty
    std::vector<std::array<std::size_t, 3>> holes{};
    Stdout out = Stdout::captured;
};

// One run of the scenario with this setting of the fault library, and what the library noted.
// With flushed given, a FIFO's bytes come as a whole block, three bytes, then the rest, and the
// report lines of each part must be out while the FIFO holds back the next; once it has sent more
// than the other input holds, the whole report.
std::pair<ToolRun, Notes> run_once(const Scratch &scratch, const Scenario &scenario,
                                   const std::string &setting, const Reference *flushed = nullptr);

// Two files over two windows, compared by their layout.
Scenario by_layout();
