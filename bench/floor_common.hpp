// What the mapped floors share: a file's size, whether an output is /dev/null, and the report
// lines of a differing pair as pairscan writes them in mismatch mode, one write(2) each.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

inline off_t size_of(int fd) {
    struct stat file {};
    fstat(fd, &file);
    return file.st_size;
}

inline bool on_dev_null(int fd) {
    struct stat file {};
    struct stat null {};
    return fstat(fd, &file) == 0 && S_ISCHR(file.st_mode) && stat("/dev/null", &null) == 0 &&
           file.st_rdev == null.st_rdev;
}

// The two report lines of a differing pair, one write(2) each.
struct Reporter {
    int log;
    std::string logfile;
    bool to_console;

    void report(char a, char b, unsigned long position) const {
        char line[8192];
        const int head = std::snprintf(line, sizeof line,
                                       "File 1 : %c File 2 : %c at Position : %lu", a, b, position);
        if (to_console) {
            const int size =
                head + std::snprintf(line + head, sizeof line - static_cast<std::size_t>(head),
                                     " no match, writing to %s\n", logfile.c_str());
            write_whole(1, line, size);
        }
        write_whole(log, line,
                    head + std::snprintf(line + head, sizeof line - static_cast<std::size_t>(head),
                                         " does not match\n"));
    }
    static void write_whole(int fd, const char *text, int size) {
        if (write(fd, text, static_cast<std::size_t>(size)) != size) {
            std::perror("write");
            std::exit(2);
        }
    }
};
