#include "tool_runner.hpp"

#include <fcntl.h>
#include <signal.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

namespace {

std::string slurp(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

[[noreturn]] void exec_tool(const fs::path &work, const fs::path &out, const fs::path &err,
                            const std::vector<std::string> &args, Stdout target,
                            const std::vector<std::string> &env, int gone_reader) {
    const int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(err_fd, 2);
    switch (target) {
    case Stdout::captured:
        dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
        break;
    case Stdout::closed:
        close(1);
        break;
    case Stdout::full_device:
        dup2(open("/dev/full", O_WRONLY), 1);
        break;
    case Stdout::gone_reader:
        dup2(gone_reader, 1);
        break;
    }
    if (chdir(work.c_str()) != 0) {
        _exit(127);
    }
    for (const std::string &setting : env) {
        putenv(const_cast<char *>(setting.c_str()));
    }
    std::vector<char *> argv{const_cast<char *>(PAIRSCAN_BINARY)};
    for (const std::string &arg : args) {
        argv.push_back(const_cast<char *>(arg.c_str()));
    }
    argv.push_back(nullptr);
    signal(SIGPIPE, SIG_DFL);
    execv(PAIRSCAN_BINARY, argv.data());
    _exit(127);
}

} // namespace

Scratch::Scratch() {
    std::string pattern = (fs::temp_directory_path() / "pairscan-test-XXXXXX").string();
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

bool Scratch::exists(const std::string &name) const {
    return fs::exists(fs::symlink_status(work_ / name));
}

std::vector<std::string> Scratch::names() const {
    std::vector<std::string> found;
    for (const auto &entry : fs::directory_iterator(work_)) {
        found.push_back(entry.path().filename().string());
    }
    return found;
}

ToolRun Scratch::run(const std::vector<std::string> &args, Stdout target,
                     const std::vector<std::string> &env) const {
    const fs::path out = base_ / "stdout";
    const fs::path err = base_ / "stderr";
    int pipe_fds[2] = {-1, -1};
    if (target == Stdout::gone_reader && pipe(pipe_fds) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const pid_t child = fork();
    if (child == 0) {
        if (pipe_fds[0] >= 0) {
            close(pipe_fds[0]); // the reader is gone before the tool writes a byte
        }
        exec_tool(work_, out, err, args, target, env, pipe_fds[1]);
    }
    if (pipe_fds[0] >= 0) {
        close(pipe_fds[0]);
        close(pipe_fds[1]);
    }
    int wait_status = 0;
    waitpid(child, &wait_status, 0);
    ToolRun run;
    run.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    run.out = target == Stdout::captured ? slurp(out) : std::string();
    run.err = slurp(err);
    return run;
}
