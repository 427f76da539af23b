#include "report.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <ostream>
#include <string>

namespace {

constexpr std::string_view notice = " - byte pair comparison";

// A report line ends with a newline that also flushes, so each line reaches its reader as it is
// written; a "\n" inside a literal does not flush.
std::ostream &eol(std::ostream &out) { return out.put('\n').flush(); }

// The pair details shared by the pair prefix and both mismatch lines. They are composed in one
// buffer so that each costs a single stream write, which matters in verbose mode.
void write_pair(std::ostream &out, char zeichen1, char zeichen2, unsigned long dateipos) {
    constexpr std::string_view file1 = "File 1 : ";
    constexpr std::string_view file2 = " File 2 : ";
    constexpr std::string_view position = " at Position : ";
    std::array<char, 64> text{};
    char *end = text.data();
    end = std::copy(file1.begin(), file1.end(), end);
    *end++ = zeichen1;
    end = std::copy(file2.begin(), file2.end(), end);
    *end++ = zeichen2;
    end = std::copy(position.begin(), position.end(), end);
    end = std::to_chars(end, text.data() + text.size(), dateipos).ptr;
    out.write(text.data(), end - text.data());
}

// Each diagnostic is composed first and written at once, so that it stays one line even when
// standard error is shared with other writers.
void write_diagnostic(std::ostream &errors, std::string_view detail) {
    std::string line = "pairscan: ";
    line.append(detail).append("\n");
    errors.write(line.data(), static_cast<std::streamsize>(line.size())).flush();
}

} // namespace

void write_console_banner(std::ostream &console) {
    console << "\npairscan " << version << notice << "\n";
}

void write_usage(std::ostream &console) {
    console << "\nusage : pairscan file1 file2 logfile v\n"
               "If you supply the fourth argument you switch to verbose logging\n\n";
}

void write_announcement(std::ostream &console, Mode mode, std::string_view file1,
                        std::string_view file2, std::string_view logfile) {
    const bool verbose = mode == Mode::verbose;
    console << "\nComparing\n"
            << file1 << "\nwith\n"
            << file2 << (verbose ? "\nlogging everything into\n" : "\nlogging mismatches into\n")
            << logfile
            << (verbose ? "\nwith full screen display" : "\nwith mismatch screen display") << eol
            << eol;
}

void write_log_banner(std::ostream &log) { log << "pairscan " << version << notice << "\n\n"; }

void write_log_heading(std::ostream &log, std::string_view file1, std::string_view file2) {
    log << "Comparing " << file1 << " with " << file2 << eol << eol;
}

void write_pair_prefix(std::ostream &out, char zeichen1, char zeichen2, unsigned long dateipos) {
    write_pair(out, zeichen1, zeichen2, dateipos);
    out.put(' ');
}

void write_match_note(std::ostream &out) { out << "does match" << eol; }

void write_console_mismatch(std::ostream &console, char zeichen1, char zeichen2,
                            unsigned long dateipos, std::string_view logfile) {
    write_pair(console, zeichen1, zeichen2, dateipos);
    console << " no match, writing to " << logfile << eol;
}

void write_log_mismatch(std::ostream &log, char zeichen1, char zeichen2, unsigned long dateipos) {
    write_pair(log, zeichen1, zeichen2, dateipos);
    log << " does not match" << eol;
}

void write_console_verdict(std::ostream &console, std::string_view shorter,
                           std::string_view other) {
    console << eol << shorter << " seems to be shorter then " << other << eol << eol;
}

void write_log_verdict(std::ostream &log, std::string_view shorter, std::string_view other) {
    log << eol << eol << shorter << " seems to be shorter then " << other << eol;
}

void write_trailer(std::ostream &log) { log << "\n\ndone comparing\nEOF"; }

void write_failure(std::ostream &errors, std::string_view name, int errnum) {
    write_diagnostic(errors, std::string(name).append(": ").append(std::strerror(errnum)));
}

void write_console_failure(std::ostream &errors, int errnum) {
    write_failure(errors, "standard output", errnum);
}

void write_log_refusal(std::ostream &errors, std::string_view logfile, std::string_view input) {
    write_diagnostic(errors, std::string("log file '")
                                 .append(logfile)
                                 .append("' is the same file as '")
                                 .append(input)
                                 .append("'; not overwriting it"));
}
