// The tool's texts as a reader expects them, written out independently of the tool's own code.
#pragma once

#include <string>

namespace expect {

inline const std::string notice = " - byte pair comparison";
// The project's version, which the build passes in as it stands in project().
inline const std::string version = PAIRSCAN_VERSION;
inline const std::string banner = "\npairscan " + version + notice + "\n";
inline const std::string usage =
    "\nusage : pairscan file1 file2 logfile v\n"
    "If you supply the fourth argument you switch to verbose logging\n\n";
inline const std::string trailer = "\n\ndone comparing\nEOF";

inline std::string announcement(bool verbose, const std::string &a, const std::string &b,
                                const std::string &log) {
    return "\nComparing\n" + a + "\nwith\n" + b +
           (verbose ? "\nlogging everything into\n" : "\nlogging mismatches into\n") + log +
           (verbose ? "\nwith full screen display\n\n" : "\nwith mismatch screen display\n\n");
}

inline std::string log_head(const std::string &a, const std::string &b) {
    return "pairscan " + version + notice + "\n\nComparing " + a + " with " + b + "\n\n";
}

inline std::string pair(char z1, char z2, unsigned long pos) {
    return std::string("File 1 : ") + z1 + " File 2 : " + z2 +
           " at Position : " + std::to_string(pos);
}

inline std::string console_mismatch(char z1, char z2, unsigned long pos, const std::string &log) {
    return pair(z1, z2, pos) + " no match, writing to " + log + "\n";
}

inline std::string log_mismatch(char z1, char z2, unsigned long pos) {
    return pair(z1, z2, pos) + " does not match\n";
}

inline std::string match(char z, unsigned long pos) { return pair(z, z, pos) + " does match\n"; }

inline std::string console_verdict(const std::string &shorter, const std::string &other) {
    return "\n" + shorter + " seems to be shorter then " + other + "\n\n";
}

inline std::string log_verdict(const std::string &shorter, const std::string &other) {
    return "\n\n" + shorter + " seems to be shorter then " + other + "\n";
}

// Which pairs a run reports, and where.
enum class Reports { mismatches, every_pair };
enum class Stream { console, log };

// What a run on inputs a and b, named as given, with the log named l, writes to the stream between
// the announcement (or the log heading) and the end of standard output (or the trailer): a line
// for each pair it reports, then the length verdict when one input is shorter.
inline std::string report_body(const std::string &a, const std::string &b, Reports reports,
                               Stream stream, const std::string &a_name = "a",
                               const std::string &b_name = "b") {
    const bool verbose = reports == Reports::every_pair;
    const bool console = stream == Stream::console;
    std::string body;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
        const unsigned long position = i + 1;
        if (!verbose && i % 4096 == 0 && a.compare(i, 4096, b, i, 4096) == 0) {
            i += 4095; // a page alike at once: large files take long enough to read
            continue;
        }
        if (a[i] == b[i]) {
            body += verbose ? match(a[i], position) : "";
            continue;
        }
        body += verbose ? pair(a[i], b[i], position) + " " : "";
        body += console ? console_mismatch(a[i], b[i], position, "l")
                        : log_mismatch(a[i], b[i], position);
    }
    if (a.size() != b.size()) {
        const bool a_shorter = a.size() < b.size();
        body += (console ? console_verdict : log_verdict)(a_shorter ? a_name : b_name,
                                                          a_shorter ? b_name : a_name);
    }
    return body;
}

inline std::string log_refusal(const std::string &log, const std::string &input) {
    return "pairscan: log file '" + log + "' is the same file as '" + input +
           "'; not overwriting it\n";
}

// The guard's refusal lines.
inline std::string backs(const std::string &log, const std::string &device) {
    return "pairscan: log file '" + log + "' is the backing file of " + device +
           "; not overwriting it\n";
}

inline std::string block(const std::string &log) {
    return "pairscan: log file '" + log + "' is a block device; not overwriting it\n";
}

inline std::string unseen_log(const std::string &log, const std::string &input,
                              const std::string &device) {
    return "pairscan: log file '" + log + "' may reach what '" + input +
           "' reads: nothing shows what lies beneath device " + device + "; not overwriting it\n";
}

inline std::string unseen_out(const std::string &input, const std::string &device) {
    return "pairscan: input file '" + input +
           "' may be reached by standard output: nothing shows what lies beneath device " + device +
           "; not reading it\n";
}

inline std::string reads(const std::string &input) {
    return "pairscan: input file '" + input +
           "' is the same file as standard output; not reading it\n";
}

} // namespace expect
