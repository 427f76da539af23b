#include "storage_stacks.hpp"

#include "expected_texts.hpp"
#include "private_mounts.hpp"
#include "tool_runner.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <sstream>

namespace fs = std::filesystem;

namespace {

// Every regular file under dir, mounts and images included, with a hash of its bytes.
std::map<fs::path, std::size_t> every_file(const fs::path &dir) {
    std::map<fs::path, std::size_t> files;
    for (auto entry =
             fs::recursive_directory_iterator(dir, fs::directory_options::skip_permission_denied);
         entry != fs::recursive_directory_iterator(); ++entry) {
        if (entry->is_regular_file() && !entry->is_symlink()) {
            std::ostringstream bytes;
            bytes << std::ifstream(entry->path(), std::ios::binary).rdbuf();
            files[entry->path()] = std::hash<std::string>()(bytes.str());
        }
    }
    return files;
}

// What a stack holds while its runs are made; its mounts, FUSE servers and loop devices go with it.
class BuiltStack {
  public:
    explicit BuiltStack(const Scratch &scratch) : scratch_(scratch) {}
    ~BuiltStack();
    BuiltStack(const BuiltStack &) = delete;
    BuiltStack &operator=(const BuiltStack &) = delete;
    bool build(const std::string &line);
    std::string expand(std::string text) const;

  private:
    bool serve(const std::string &from, const std::string &to);

    const Scratch &scratch_;
    std::vector<std::unique_ptr<LoopDevice>> loops_;
    std::vector<pid_t> servers_;
};

// $D(path) stands for the device number, "major:minor", of the file system path is on.
std::string BuiltStack::expand(std::string text) const {
    for (std::size_t k = loops_.size(); k > 0; --k) { // $L10 before $L1
        const std::string mark = "$L" + std::to_string(k);
        for (std::size_t at = text.find(mark); at != std::string::npos; at = text.find(mark)) {
            text.replace(at, mark.size(), loops_[k - 1]->name());
        }
    }
    for (std::size_t at = text.find("$D("); at != std::string::npos; at = text.find("$D(")) {
        const std::size_t end = text.find(')', at);
        struct stat file {};
        stat((scratch_.dir() / text.substr(at + 3, end - at - 3)).c_str(), &file);
        text.replace(at, end + 1 - at,
                     std::to_string(major(file.st_dev)) + ":" + std::to_string(minor(file.st_dev)));
    }
    return text;
}

bool BuiltStack::build(const std::string &line) {
    const std::string expanded = expand(line);
    const std::string verb = expanded.substr(0, expanded.find(' '));
    const std::string rest = expanded.substr(std::min(verb.size() + 1, expanded.size()));
    const std::size_t last = rest.rfind(' ');
    const std::string first = rest.substr(0, last);
    const std::string second = last == std::string::npos ? "" : rest.substr(last + 1);
    const fs::path &dir = scratch_.dir();
    if (verb.starts_with("attach")) {
        const std::uint32_t flags = verb == "attach-ro"      ? LO_FLAGS_READ_ONLY
                                    : verb == "attach-parts" ? LO_FLAGS_PARTSCAN
                                                             : 0;
        loops_.push_back(std::make_unique<LoopDevice>(dir / first, flags,
                                                      second.empty() ? 0 : std::stoull(second)));
        return !loops_.back()->name().empty();
    }
    if (verb == "bindfs") {
        return serve(first, second);
    }
    if (verb == "erofs") {
        return mount((dir / first).c_str(), (dir / second).c_str(), "erofs", MS_RDONLY, nullptr) ==
               0;
    }
    return scratch_.shell(expanded);
}

// A FUSE server of the test's own, killed with it, so that nothing stays mounted.
bool BuiltStack::serve(const std::string &from, const std::string &to) {
    const fs::path &dir = scratch_.dir();
    const pid_t server = fork();
    if (server == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        execlp("bindfs", "bindfs", "-f", (dir / from).c_str(), (dir / to).c_str(), nullptr);
        _exit(127);
    }
    servers_.push_back(server);
    return eventually([&] {
        struct stat served {};
        struct stat work {};
        return stat((dir / to).c_str(), &served) == 0 && stat(dir.c_str(), &work) == 0 &&
               served.st_dev != work.st_dev;
    });
}

// Every mount under dir, in the order they were made.
std::vector<std::string> mounts_under(const fs::path &dir) {
    std::vector<std::string> points;
    std::ifstream table("/proc/self/mountinfo");
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        std::string point;
        for (int k = 0; k < 5; ++k) {
            fields >> point;
        }
        for (std::size_t at = point.find('\\'); at != std::string::npos; at = point.find('\\')) {
            point.replace(at, 4, 1, static_cast<char>(std::stoi(point.substr(at + 1, 3), 0, 8)));
        }
        if (point.starts_with(dir.string() + "/")) {
            points.push_back(point);
        }
    }
    return points;
}

// The file systems under dir frozen while a refused run is checked, the last mounted first:
// none writes back on its own meanwhile, and a write by the run would wait, not land.
class Frozen {
  public:
    explicit Frozen(const fs::path &dir) {
        const std::vector<std::string> points = mounts_under(dir);
        for (auto point = points.rbegin(); point != points.rend(); ++point) {
            const int fd = open(point->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (fd >= 0 && ioctl(fd, FIFREEZE, 0) == 0) {
                frozen_.push_back(fd);
            } else if (fd >= 0) {
                close(fd);
            }
        }
    }
    ~Frozen() {
        for (auto fd = frozen_.rbegin(); fd != frozen_.rend(); ++fd) {
            ioctl(*fd, FITHAW, 0);
            close(*fd);
        }
    }
    Frozen(const Frozen &) = delete;
    Frozen &operator=(const Frozen &) = delete;

  private:
    std::vector<int> frozen_;
};

BuiltStack::~BuiltStack() {
    const std::vector<std::string> points = mounts_under(scratch_.dir());
    for (auto point = points.rbegin(); point != points.rend(); ++point) {
        umount2(point->c_str(), MNT_DETACH);
    }
    for (pid_t server : servers_) {
        kill(server, SIGKILL);
        waitpid(server, nullptr, 0);
    }
}

// The run's options: standard output as the row has it, limits, the fault library's setting.
RunOptions options_of(const BuiltStack &stack, const GuardRun &run) {
    RunOptions options = run.setting.empty() ? RunOptions{} : with_fault(stack.expand(run.setting));
    options.user = run.user;
    options.seconds = 10;
    const bool appends = run.out.starts_with(">>");
    if (!run.out.empty()) {
        options.out = Stdout::work_file;
        options.stdout_file = stack.expand(run.out.substr(appends ? 2 : 0));
        options.stdout_appends = appends;
        options.stdout_read_write = !appends;
    }
    return options;
}

// When a directory last changed: where a new log would be made, a refused run makes nothing, not
// even for a moment.
std::string changed_at(const fs::path &directory) {
    struct stat status {};
    stat(directory.c_str(), &status);
    return std::to_string(status.st_mtim.tv_sec) + "." + std::to_string(status.st_mtim.tv_nsec);
}

// The run, with /sys or /proc hidden by an empty tmpfs where the row asks.
ToolRun run_masked(const Scratch &scratch, const Args &args, const RunOptions &options,
                   const std::string &masks) {
    std::istringstream words(masks);
    std::vector<std::string> masked{std::istream_iterator<std::string>(words), {}};
#if defined(__SANITIZE_ADDRESS__) // whose leak check needs /proc
    std::erase(masked, "/proc");
#endif
    for (const std::string &place : masked) {
        mount("tmpfs", place.c_str(), "tmpfs", 0, nullptr);
    }
    ToolRun result = scratch.run(args, options);
    for (const std::string &place : masked) {
        umount2(place.c_str(), MNT_DETACH);
    }
    return result;
}

void check_run(const Scratch &scratch, const BuiltStack &stack, const GuardRun &run) {
    Args args;
    for (const std::string &arg : run.args) {
        args.push_back(stack.expand(arg));
    }
    std::optional<Frozen> frozen;
    if (!run.refusal.empty()) {
        frozen.emplace(scratch.dir());
    }
    const auto before = every_file(scratch.dir());
    const std::string a = args[0].starts_with("/dev/") ? "" : scratch.read(args[0]);
    const std::string b = scratch.read(args[1]);
    const fs::path log_directory = (scratch.dir() / args[2]).parent_path();
    const std::string unmade = changed_at(log_directory);
    const ToolRun result = run_masked(scratch, args, options_of(stack, run), run.masked);
    SCOPED_TRACE(args[0] + " " + args[1] + " " + args[2] + " > " + run.out + " " + run.setting +
                 " " + run.masked);
    if (!run.refusal.empty()) {
        EXPECT_EQ(result.err, stack.expand(run.refusal));
        EXPECT_EQ(result.status, 2);
        EXPECT_TRUE(every_file(scratch.dir()) == before) << "every file as it was";
        EXPECT_TRUE(changed_at(log_directory) == unmade || run.setting.starts_with("PAIRSCAN_SWAP"))
            << "nothing made where the log would be";
        return;
    }
    EXPECT_EQ(result.err + std::to_string(result.status), "0");
    EXPECT_EQ(scratch.read(args[2]),
              expect::log_head(args[0], args[1]) +
                  expect::report_body(a, b, expect::Reports::mismatches, expect::Stream::log,
                                      args[0], args[1]) +
                  expect::trailer);
}

} // namespace

void check_stacks(std::span<const Stack> stacks) {
    for (const Stack &stack : stacks) {
        const Scratch scratch;
        fs::permissions(scratch.dir().parent_path(), fs::perms(0711)); // for another user
        BuiltStack built(scratch);
        const auto failed =
            std::find_if(stack.build.begin(), stack.build.end(),
                         [&](const std::string &line) { return !built.build(line); });
        if (failed != stack.build.end()) {
            std::cout << "skipped, as this machine cannot make it: " << stack.name << " ("
                      << *failed << ")\n";
            continue;
        }
        SCOPED_TRACE(stack.name);
        for (const GuardRun &run : stack.runs) {
            check_run(scratch, built, run);
        }
    }
}
