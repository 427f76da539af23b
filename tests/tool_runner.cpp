#include "tool_runner.hpp"

#include "private_mounts.hpp"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

std::string slurp(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// What another user runs: copies of the tool and of the fault library in a directory that user
// can reach, wherever the build tree sits (a checkout in a 0700 directory too). Made once, and
// removed at the end.
const fs::path &reachable_copies() {
    static const struct Copies {
        fs::path dir = fs::temp_directory_path() / ("pairscan-" + std::to_string(getpid()));
        Copies() {
            fs::create_directory(dir);
            fs::permissions(dir, fs::perms(0711));
            fs::copy_file(PAIRSCAN_BINARY, dir / "pairscan");
            fs::copy_file(FAULT_INJECT_LIBRARY, dir / "fault_inject.so");
        }
        ~Copies() { fs::remove_all(dir); }
    } copies;
    return copies.dir;
}

[[noreturn]] void exec_tool(const fs::path &work, const fs::path &out, const fs::path &err,
                            const std::vector<std::string> &args, const RunOptions &options,
                            int stdin_fd, int out_pipe, const char *binary) {
    dup2(stdin_fd, 0);
    dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
    if (chdir(work.c_str()) != 0) {
        _exit(127);
    }
    if (!options.stderr_file.empty()) {
        dup2(open(options.stderr_file.c_str(),
                  O_WRONLY | O_CREAT | (options.stderr_appends ? O_APPEND : O_TRUNC), 0600),
             2);
    }
    switch (options.out) {
    case Stdout::captured:
        dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
        break;
    case Stdout::closed:
        close(1);
        break;
    case Stdout::full_device:
        dup2(open("/dev/full", O_WRONLY), 1);
        break;
    case Stdout::null_device:
        dup2(open("/dev/null", O_WRONLY), 1);
        break;
    case Stdout::piped:
        dup2(out_pipe, 1);
        break;
    case Stdout::terminal: // its controlling terminal, by the name /dev/tty, beside /dev/null
        setsid();
        ioctl(out_pipe, TIOCSCTTY, 0);
        dup2(open("/dev/tty", O_WRONLY), 1);
        break;
    case Stdout::work_file:
        dup2(open(options.stdout_file.c_str(),
                  options.stdout_read_write
                      ? O_RDWR
                      : O_WRONLY | O_CREAT | (options.stdout_appends ? O_APPEND : O_TRUNC),
                  0600),
             1);
        break;
    }
    if (options.stdout_nonblocking) {
        fcntl(1, F_SETFL, O_NONBLOCK);
    }
    if (options.stderr_closed) {
        close(2);
    }
    if (options.stdin_closed) {
        close(0);
    }
    close_range(3, ~0U, 0); // nothing of the test's own reaches the tool
    const rlimit address_space{options.address_space_limit, options.address_space_limit};
    const rlimit stack{options.stack_limit, options.stack_limit};
    if (setrlimit(RLIMIT_AS, &address_space) != 0 || setrlimit(RLIMIT_STACK, &stack) != 0) {
        _exit(127);
    }
    if (options.user != 0 &&
        (setgroups(0, nullptr) != 0 || setgid(options.user) != 0 || setuid(options.user) != 0)) {
        _exit(127);
    }
    alarm(options.seconds);
    for (const std::string &setting : options.env) {
        putenv(const_cast<char *>(setting.c_str()));
    }
    std::vector<char *> argv{const_cast<char *>(binary)};
    for (const std::string &arg : args) {
        argv.push_back(const_cast<char *>(arg.c_str()));
    }
    argv.push_back(nullptr);
    signal(SIGPIPE, SIG_DFL);
    signal(SIGHUP, options.sighup_ignored ? SIG_IGN : SIG_DFL);
    execv(binary, argv.data());
    _exit(127);
}

} // namespace

void open_terminal(int ends[2]) {
    const int controller = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (controller < 0 || grantpt(controller) != 0 || unlockpt(controller) != 0) {
        throw std::runtime_error("no pseudo-terminal");
    }
    const int terminal = open(ptsname(controller), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios raw{};
    if (terminal < 0 || tcgetattr(terminal, &raw) != 0) {
        throw std::runtime_error("no pseudo-terminal");
    }
    cfmakeraw(&raw);
    tcsetattr(terminal, TCSANOW, &raw);
    ends[0] = controller;
    ends[1] = terminal;
}

Scratch::Scratch(const fs::path &under) {
    // As root, the tool runs with a /dev of the test's own: a fault that unlinks or replaces a
    // device node it was handed (/dev/stdout, /dev/zero, a loop device) harms only the copy.
    enter_private_mounts();
    std::string pattern = (under / "pairscan-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    base_ = pattern;
    work_ = base_ / "work";
    fs::create_directory(work_);
}

Scratch::~Scratch() {
    std::error_code ignored;
    fs::remove_all(base_, ignored);
}

void Scratch::put(const std::string &name, const std::string &bytes) const {
    std::ofstream(work_ / name, std::ios::binary) << bytes;
}

std::string Scratch::read(const std::string &name) const { return slurp(work_ / name); }

std::string Scratch::captured_stdout() const { return slurp(base_ / "stdout"); }

bool Scratch::exists(const std::string &name) const {
    std::error_code too_long_for_instance;
    return fs::exists(fs::status(work_ / name, too_long_for_instance));
}

unsigned long long Scratch::pages_cached(const std::string &name, std::size_t from,
                                         std::size_t to) const {
    const int fd = open((work_ / name).c_str(), O_RDONLY);
    const unsigned long long range[2] = {from, to - from}; // a length of 0 reaches the end
    unsigned long long counts[5] = {};  // cached, dirty, under write-back, evicted...
    syscall(451, fd, range, counts, 0); // cachestat(2), since Linux 6.5
    close(fd);
    return counts[0];
}

bool Scratch::shell(const std::string &command) const {
    return std::system(
               ("cd '" + work_.string() + "' && (" + command + ") >/dev/null 2>&1").c_str()) == 0;
}

ToolRun Scratch::run(const std::vector<std::string> &args, const RunOptions &options) const {
    const fs::path out = base_ / "stdout";
    const fs::path err = base_ / "stderr";
    int out_pipe[2] = {-1, -1};
    int in_pipe[2] = {-1, -1};
    if ((options.out == Stdout::piped && pipe(out_pipe) != 0) || pipe(in_pipe) != 0) {
        throw std::runtime_error("pipe failed");
    }
    if (options.out == Stdout::terminal) {
        open_terminal(out_pipe);
    }
    RunOptions as_given = options;
    const std::string binary =
        options.user == 0 ? PAIRSCAN_BINARY : reachable_copies() / "pairscan";
    for (std::string &setting : as_given.env) {
        if (options.user != 0 && setting.starts_with("LD_PRELOAD=")) {
            setting = "LD_PRELOAD=" + (reachable_copies() / "fault_inject.so").string();
        }
    }
    const pid_t child = fork();
    if (child == 0) {
        if (out_pipe[0] >= 0) {
            close(out_pipe[0]);
        }
        close(in_pipe[1]);
        exec_tool(work_, out, err, args, as_given, in_pipe[0], out_pipe[1], binary.c_str());
    }
    close(in_pipe[0]);
    if (out_pipe[0] >= 0) {
        close(out_pipe[1]);
    }
    // The tool reads its standard input only when told to open /dev/stdin; a failed write
    // means it never did, which the test itself will show.
    signal(SIGPIPE, SIG_IGN);
    const char *next = options.stdin_bytes.data();
    std::size_t left = options.stdin_bytes.size();
    while (left > 0) {
        const ssize_t written = write(in_pipe[1], next, left);
        if (written <= 0) {
            break;
        }
        next += written;
        left -= static_cast<std::size_t>(written);
    }
    close(in_pipe[1]);
    if (options.meanwhile) {
        options.meanwhile(child);
    }
    std::string piped;
    if (out_pipe[0] >= 0) {
        std::array<char, 65536> taken{};
        for (ssize_t size = 1; size > 0;) {
            size = ::read(out_pipe[0], taken.data(), taken.size());
            piped.append(taken.data(), static_cast<std::size_t>(std::max(size, ssize_t{0})));
        }
        close(out_pipe[0]);
    }
    int wait_status = 0;
    rusage usage{};
    wait4(child, &wait_status, 0, &usage);
    ToolRun run;
    run.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    run.cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
              double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    run.out = options.out == Stdout::captured ? slurp(out) : piped;
    run.err = slurp(err);
    return run;
}
