// The write floor: writes the report lines pairscan writes for the pairs of two files (every
// pair with a fourth argument, else the differing ones) with one write(2) per line on standard
// output and one on the log, and nothing else: not the banners, the heading, a verdict or the
// trailer. With standard output on /dev/null, the log lines only. The least any program that
// reports those lines as they are found can cost.
//
//   write_floor file1 file2 logfile [v]
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

constexpr std::size_t block = 262144;
alignas(4096) char block1[block];
alignas(4096) char block2[block];

std::size_t read_block(int fd, char *into) {
    std::size_t got = 0;
    ssize_t size = 1;
    while (got < block && size > 0) {
        size = read(fd, into + got, block - got);
        got += size > 0 ? static_cast<std::size_t>(size) : 0;
    }
    return got;
}

char *put(char *out, std::string_view text) { return std::copy(text.begin(), text.end(), out); }

char *put_pair(char *out, char a, char b, unsigned long position) {
    out = put(out, "File 1 : ");
    *out++ = a;
    out = put(out, " File 2 : ");
    *out++ = b;
    out = put(out, " at Position : ");
    return std::to_chars(out, out + 20, position).ptr;
}

void write_whole(int fd, const char *text, std::size_t size) {
    if (write(fd, text, size) != static_cast<ssize_t>(size)) {
        std::perror("write_floor");
        _exit(1);
    }
}

bool on_dev_null(int fd) {
    struct stat file {};
    struct stat null {};
    return fstat(fd, &file) == 0 && S_ISCHR(file.st_mode) && stat("/dev/null", &null) == 0 &&
           file.st_rdev == null.st_rdev;
}

} // namespace

int main(int argc, char *argv[]) {
    if (argc != 4 && argc != 5) {
        std::fputs("usage: write_floor file1 file2 logfile [v]\n", stderr);
        return 1;
    }
    const bool verbose = argc == 5;
    const bool to_console = !on_dev_null(1);
    const int in1 = open(argv[1], O_RDONLY);
    const int in2 = open(argv[2], O_RDONLY);
    const int log = open(argv[3], O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (in1 < 0 || in2 < 0 || log < 0) {
        std::perror("write_floor");
        return 1;
    }
    const std::string_view logfile = argv[3];
    static char console_line[8192];
    if (logfile.size() > sizeof console_line - 256) {
        std::fputs("write_floor: log name too long\n", stderr);
        return 1;
    }
    static char log_line[8192];
    unsigned long position = 1;
    for (;;) {
        const std::size_t common = std::min(read_block(in1, block1), read_block(in2, block2));
        if (common == 0) {
            break;
        }
        for (std::size_t i = 0; i < common; ++i, ++position) {
            const char a = block1[i];
            const char b = block2[i];
            if (!verbose && a == b) {
                continue;
            }
            char *head_end = put_pair(console_line, a, b, position);
            if (verbose) {
                *head_end++ = ' ';
                if (a != b) {
                    head_end = put_pair(head_end, a, b, position);
                }
            }
            const auto head_size = static_cast<std::size_t>(head_end - console_line);
            std::memcpy(log_line, console_line, head_size);
            char *log_end =
                put(log_line + head_size, a == b ? "does match\n" : " does not match\n");
            if (to_console) {
                char *console_end = console_line + head_size;
                console_end =
                    a == b ? put(console_end, "does match\n")
                           : put(put(put(console_end, " no match, writing to "), logfile), "\n");
                write_whole(1, console_line, static_cast<std::size_t>(console_end - console_line));
            }
            write_whole(log, log_line, static_cast<std::size_t>(log_end - log_line));
        }
    }
    return 0;
}
