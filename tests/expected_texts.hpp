// The tool's texts as a reader expects them, written out independently of the tool's own code.
#pragma once

#include <string>

namespace expect {

inline const std::string notice = " - byte pair comparison";
inline const std::string banner = "\npairscan 0.1" + notice + "\n";
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
    return "pairscan 0.1" + notice + "\n\nComparing " + a + " with " + b + "\n\n";
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

inline std::string log_refusal(const std::string &log, const std::string &input) {
    return "pairscan: log file '" + log + "' is the same file as '" + input +
           "'; not overwriting it\n";
}

} // namespace expect
