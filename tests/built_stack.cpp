#include "built_stack.hpp"

#include <linux/loop.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

std::map<fs::path, std::size_t> every_file(const fs::path &dir) {
    std::map<fs::path, std::size_t> files;
    for (auto entry =
             fs::recursive_directory_iterator(dir, fs::directory_options::skip_permission_denied);
         entry != fs::recursive_directory_iterator(); ++entry) {
        if (entry->is_regular_file() && !entry->is_symlink()) {
            // Read in large pieces: a sparse image of a hundred megabytes is read whole.
            std::ifstream in(entry->path(), std::ios::binary);
            std::string piece(1 << 20, '\0');
            std::size_t hash = 0;
            while (in.read(piece.data(), std::ssize(piece)) || in.gcount() > 0) {
                piece.resize(static_cast<std::size_t>(in.gcount()));
                hash = hash * 31 + std::hash<std::string>()(piece);
            }
            files[entry->path()] = hash;
        }
    }
    return files;
}

std::string BuiltStack::expand(std::string text) const {
    for (std::size_t k = loops_.size(); k > 0; --k) { // $L10 before $L1
        const std::string mark = "$L" + std::to_string(k);
        for (std::size_t at = text.find(mark); at != std::string::npos; at = text.find(mark)) {
            text.replace(at, mark.size(), loops_[k - 1]->name());
        }
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

BuiltStack::~BuiltStack() {
    std::vector<std::string> points; // under the work directory, in the order they were mounted
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
        if (point.starts_with(scratch_.dir().string() + "/")) {
            points.push_back(point);
        }
    }
    for (auto point = points.rbegin(); point != points.rend(); ++point) {
        umount2(point->c_str(), MNT_DETACH);
    }
    for (pid_t server : servers_) {
        kill(server, SIGKILL);
        waitpid(server, nullptr, 0);
    }
}
