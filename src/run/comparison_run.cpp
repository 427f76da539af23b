#include "run/comparison_run.hpp"

#include "compare/comparison.hpp"
#include "guard/guard.hpp"
#include "inputs/opening.hpp"
#include "inputs/pair.hpp"
#include "system/stop_signals.hpp"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>

namespace {

// The run's memory comes from malloc, which answers a shortage with nullptr; operator new throws,
// and throwing may need the memory that is missing.
struct MallocDeleter {
    void operator()(void *memory) const { std::free(memory); }
};
template <typename T> using MallocPtr = std::unique_ptr<T, MallocDeleter>;

// Claimed before the log is opened, so that a shortage leaves an existing log as it was.
struct RunMemory {
    explicit RunMemory(std::string_view logfile)
        // Page-aligned: on some CPUs the kernel copies into a misaligned buffer much more slowly
        // (see doc/performance.md). Two blocks, the second on a page too.
        : blocks(static_cast<char *>(std::aligned_alloc(page_size(), 2 * block_size))),
          line_space(PairLines::space_needed(logfile)),
          lines(static_cast<char *>(std::malloc(line_space))),
          layout(std::malloc(sizeof(DiskLayout))) {}
    bool claimed() const { return blocks && lines && layout; }

    MallocPtr<char[]> blocks;
    std::size_t line_space;
    MallocPtr<char[]> lines;
    MallocPtr<void> layout; // space for the files' layout, kept off the stack
};

// What the command line named, and where the console goes.
struct RunFiles {
    const char *file1;
    const char *file2;
    const char *logfile;
    Mode mode;
    OutputFile &console;
};

void write_verdict(const RunFiles &run, OutputFile &logdatei, Shorter shorter) {
    if (shorter == Shorter::neither) {
        return;
    }
    const char *shorter_file = shorter == Shorter::first ? run.file1 : run.file2;
    const char *other_file = shorter == Shorter::first ? run.file2 : run.file1;
    run.console.write(texts::console_verdict(shorter_file, other_file));
    logdatei.write(texts::log_verdict(shorter_file, other_file));
}

// The comparison proper, once every file is open and allowed: the log emptied and begun, every
// pair the mode asks for reported on both outputs, the verdict, the trailer. The exit status.
int compare_and_report(const RunFiles &run, Input &datei1, Input &datei2, OutputFile &logdatei,
                       PairLines &lines, void *layout_space) {
    OutputFile &console = run.console;
    logdatei.empty();
    logdatei.write(texts::log_banner());
    logdatei.write(texts::log_heading(run.file1, run.file2));
    const StopRequest stop{stop_flag(), stop_signals()};
    // Verbose mode reports every pair, and so reads every byte.
    DiskLayout *layout = run.mode == Mode::mismatch
                             ? layout_of(datei1.mapped(), datei2.mapped(), layout_space)
                             : nullptr;
    InputPair pair = layout != nullptr
                         ? InputPair(*datei1.mapped(), *datei2.mapped(), stop, *layout)
                         : InputPair(datei1.source(), datei2.source(), stop);
    dateipos = 1;
    const std::optional<Shorter> shorter = compare_inputs(pair, run.mode, [&] {
        lines.set(zeichen1, zeichen2, dateipos);
        if (console.takes_lines()) {
            console.write_line(lines.console_line());
        }
        if (logdatei.takes_lines()) {
            logdatei.write_line(lines.log_line());
        }
        return stop_signal() == 0; // the line is whole on both outputs; nothing more follows
    });
    if (shorter) {
        write_verdict(run, logdatei, *shorter);
    }
    datei1.source().close();
    datei2.source().close();
    if (shorter) {
        logdatei.write(texts::trailer());
    }
    logdatei.close();
    console.flush();
    const bool complete = console.intact() && logdatei.intact() && datei1.source().intact() &&
                          datei2.source().intact();
    return complete ? 0 : 2;
}

} // namespace

// The inputs are opened first, and said nothing of: standard output and standard error are held
// against them before anything is written, and a missing input fails before the log's open can
// make a file of its name.
int run_comparison(const char *file1, const char *file2, const char *logfile, Mode mode,
                   OutputFile &console) {
    const std::array<OpenedFile, 2> opened{open_input(file1), open_input(file2)};
    FileGuard guard(opened);
    if (guard.standard_outputs_refused()) {
        return 2;
    }
    console.write(texts::console_banner());
    console.write(texts::announcement(mode, file1, file2, logfile));
    if (log_name_is_block_device(logfile)) {
        return 2;
    }
    const RunMemory memory(logfile);
    if (!memory.claimed()) {
        print_diagnostic(texts::memory_failure());
        return 2;
    }
    PairLines lines(mode, logfile, {memory.lines.get(), memory.line_space});
    handle_window_faults();
    // The run's streams, by the tool's fixed German names (file 1, file 2, log file).
    Input datei1(opened[0], 0, {memory.blocks.get(), block_size});
    Input datei2(opened[1], 1, {memory.blocks.get() + block_size, block_size});
    OutputFile logdatei(logfile);
    logdatei.find();
    if (stop_signal() != 0 ||
        guard.log_refused({logfile, logdatei.descriptor(), logdatei.existed()})) {
        return 2;
    }
    logdatei.make();
    // A run stopped before anything was written leaves no log of its making.
    if (stop_signal() != 0) {
        logdatei.remove_if_created();
        return 2;
    }
    return compare_and_report({file1, file2, logfile, mode, console}, datei1, datei2, logdatei,
                              lines, memory.layout.get());
}
