// Runs two commands by turns, each run timed alone, and prints the median wall time of each and
// their ratio. A tiny run takes about a millisecond, where a noisy machine drifts by more than the
// difference to measure: taking turns, both meet the same drift.
//
//   interleave RUNS [--output FILE] COMMAND-A ... -- COMMAND-B ...
//
// Standard output goes to /dev/null, or appended to FILE; standard error to /dev/null. An exit
// status of 0 or 1 (cmp -l on a difference) is accepted; any other ends the bench.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

extern char **environ;

namespace {

double run_once(char **command, int out, int null) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, null, STDERR_FILENO);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    int status = 0;
    if (posix_spawnp(&pid, command[0], &actions, nullptr, command, environ) != 0 ||
        waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) > 1) {
        std::fprintf(stderr, "interleave: %s failed\n", command[0]);
        std::exit(1);
    }
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    posix_spawn_file_actions_destroy(&actions);
    return took.count();
}

double median(std::vector<double> &times) {
    std::nth_element(times.begin(), times.begin() + static_cast<long>(times.size() / 2),
                     times.end());
    return times[times.size() / 2];
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: interleave RUNS [--output FILE] A ... -- B ...\n");
        return 2;
    }
    const long runs = std::atol(argv[1]);
    int first = 2;
    const int null = open("/dev/null", O_WRONLY);
    int out = null;
    if (std::strcmp(argv[2], "--output") == 0) {
        out = open(argv[3], O_WRONLY | O_CREAT | O_APPEND, 0644);
        first = 4;
    }
    char **a = argv + first;
    char **split =
        std::find_if(a, argv + argc, [](const char *arg) { return std::strcmp(arg, "--") == 0; });
    *split = nullptr;
    char **b = split + 1;
    std::vector<double> times_a;
    std::vector<double> times_b;
    for (long k = 0; k < runs; ++k) {
        if (k % 2 == 0) {
            times_a.push_back(run_once(a, out, null));
            times_b.push_back(run_once(b, out, null));
        } else {
            times_b.push_back(run_once(b, out, null));
            times_a.push_back(run_once(a, out, null));
        }
    }
    const double median_a = median(times_a);
    const double median_b = median(times_b);
    std::printf("%.3f x (%.3f ms against %.3f ms)\n", median_a / median_b, median_a, median_b);
    return 0;
}
