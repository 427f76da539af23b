// Runs the built pairscan binary as a user would, in a scratch directory of its own.
#pragma once

#include <sys/resource.h>

#include <sys/types.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

// Where the tool's standard output goes: a file of the test's own, captured; closed; /dev/full;
// /dev/null; a pipe read to its end, captured; the file stdout_file in the work directory,
// emptied or appended to (not captured); a pseudo-terminal in raw mode, the tool's controlling
// terminal opened as /dev/tty, read to its end, captured.
enum class Stdout { captured, closed, full_device, null_device, piped, work_file, terminal };

struct RunOptions {
    Stdout out = Stdout::captured;
    std::vector<std::string> env{}; // NAME=value settings added to the tool's environment
    std::string stdin_bytes{};      // fed to the tool's standard input through a pipe
    bool sighup_ignored = false;    // the tool starts with SIGHUP ignored, as nohup leaves it
    std::string stdout_file{};      // with Stdout::work_file
    bool stdout_appends = false;    // with Stdout::work_file: opened with O_APPEND, not emptied
    bool stdout_read_write = false; // with Stdout::work_file: opened read-write (1<>), not emptied
    bool stderr_closed = false;     // the tool starts with standard error closed (not captured)
    bool stdin_closed = false;      // the tool starts with standard input closed
    std::string stderr_file{};      // standard error goes to this file of the work directory
    bool stderr_appends = false;    // with stderr_file: opened with O_APPEND, not emptied
    // Called in the test while the tool runs, before its standard output is read.
    std::function<void(pid_t tool)> meanwhile{};
    rlim_t address_space_limit = RLIM_INFINITY; // RLIMIT_AS
#if defined(__SANITIZE_ADDRESS__)               // whose frames hold far more
    rlim_t stack_limit = RLIM_INFINITY;         // RLIMIT_STACK, as ulimit -s sets it
#else
    rlim_t stack_limit = 32 << 10; // every run works under ulimit -s 32
#endif
    unsigned seconds = 0; // when set, the tool is killed by SIGALRM (status 142) past it
    uid_t user = 0;       // when set, the tool runs as this user, in a group of the same number
    bool stdout_nonblocking = false; // left so by a parent: a write when it is full fails (EAGAIN)
};

#ifdef FAULT_INJECT_LIBRARY
// The environment that loads the fault injection library into the tool with this setting.
inline RunOptions with_fault(const std::string &setting) {
    // The sanitizer runtime, when there is one, need not come first for this test library.
    RunOptions options;
    options.env = {"LD_PRELOAD=" FAULT_INJECT_LIBRARY, setting,
                   "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1"};
    return options;
}
#endif

struct ToolRun {
    std::string out; // empty unless standard output was captured
    std::string err;
    int status = -1; // exit status, or 128 + signal number
    double cpu = 0;  // seconds of processor time the tool took, user and system
};

// A pseudo-terminal in raw mode, so that what is written arrives unchanged: its end for the tool
// in ends[1], the test's in ends[0]. Reading the test's end gives EIO once the tool is gone.
void open_terminal(int ends[2]);

// A fresh directory that the tool runs in; removed with everything in it at the end of the test.
class Scratch {
  public:
    // In the system's directory for temporary files, or in the directory given.
    explicit Scratch(const std::filesystem::path &under = std::filesystem::temp_directory_path());
    ~Scratch();
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;

    const std::filesystem::path &dir() const { return work_; }
    void put(const std::string &name, const std::string &bytes) const;
    std::string read(const std::string &name) const;
    bool exists(const std::string &name) const; // through symbolic links
    // Runs a shell command in the directory, its output discarded; true when it succeeds.
    bool shell(const std::string &command) const;
    // The pages of a file in the page cache (on tmpfs, the pages it holds), from from to to or to
    // its end: those a run brought in are what it read. 0 where the kernel cannot tell.
    unsigned long long pages_cached(const std::string &name, std::size_t from = 0,
                                    std::size_t to = 0) const;
    // What a run with Stdout::captured has written to standard output so far.
    std::string captured_stdout() const;

    ToolRun run(const std::vector<std::string> &args, const RunOptions &options = {}) const;

  private:
    std::filesystem::path base_; // holds work_ and the captured streams
    std::filesystem::path work_;
};

// Writes pieces into a FIFO of the scratch directory from a thread of its own, calling after()
// between them; the FIFO is closed at the end. Should the tool never read it, the writer is let go
// at the end of the test, so that a failure cannot hang the suite.
class FifoWriter {
  public:
    FifoWriter(const Scratch &scratch, const std::string &name, std::vector<std::string> pieces,
               std::function<void(std::size_t piece)> after = {})
        : fifo_(scratch.dir() / name),
          thread_([this, pieces = std::move(pieces), after = std::move(after)] {
              signal(SIGPIPE, SIG_IGN); // the tool may have all it needs before the end
              const int fd = open(fifo_.c_str(), O_WRONLY);
              for (std::size_t i = 0; i < pieces.size(); ++i) {
                  for (std::size_t sent = 0; sent < pieces[i].size();) {
                      const ssize_t size =
                          write(fd, pieces[i].data() + sent, pieces[i].size() - sent);
                      sent += size > 0 ? static_cast<std::size_t>(size) : pieces[i].size();
                  }
                  if (after) {
                      after(i);
                  }
              }
              close(fd);
              done_ = true;
          }) {}
    ~FifoWriter() {
        while (!done_) { // a reader that comes and goes ends a wait to open, and every write
            close(open(fifo_.c_str(), O_RDONLY | O_NONBLOCK));
            usleep(10000);
        }
        thread_.join();
    }
    FifoWriter(const FifoWriter &) = delete;
    FifoWriter &operator=(const FifoWriter &) = delete;

  private:
    std::filesystem::path fifo_;
    std::atomic<bool> done_ = false;
    std::thread thread_;
};

// Waits up to five seconds for a condition that the tool's progress makes true.
inline bool eventually(const std::function<bool()> &condition) {
    for (int waited = 0; waited < 500; ++waited) {
        if (condition()) {
            return true;
        }
        usleep(10000);
    }
    return false;
}
