// Runs the built pairscan binary as a user would, in a scratch directory of its own.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

// Where the tool's standard output goes.
enum class Stdout { captured, closed, full_device, gone_reader };

struct ToolRun {
    std::string out; // empty unless standard output was captured
    std::string err;
    int status = -1; // exit status, or 128 + signal number
};

// A fresh directory that the tool runs in; removed with everything in it at the end of the test.
class Scratch {
  public:
    Scratch();
    ~Scratch();
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;

    const std::filesystem::path &dir() const { return work_; }
    void put(const std::string &name, const std::string &bytes) const;
    std::string read(const std::string &name) const;
    bool exists(const std::string &name) const;
    std::vector<std::string> names() const;

    ToolRun run(const std::vector<std::string> &args, Stdout target = Stdout::captured,
                const std::vector<std::string> &env = {}) const;

  private:
    std::filesystem::path base_; // holds work_ and the captured streams
    std::filesystem::path work_;
};
