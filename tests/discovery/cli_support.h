#pragma once
// Runs `ostrel-control-cli` with its own user folders and collects what it printed and logged.

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace ostrel::test {

struct CliRun {
    std::optional<int> exitCode;
    std::string out;
    std::string err;
    std::string logs;  // every log file of the run, concatenated
};

// `stdoutFile`: standard output goes to that file (e.g. /dev/full) instead of `out`.
inline CliRun runCli(const std::filesystem::path& root, const std::vector<std::string>& args,
                     const std::vector<std::string>& prefix = {}, const std::string& stdoutFile = "") {
    const std::filesystem::path logs = root / "logs";
    std::filesystem::create_directories(logs);
    std::vector<std::string> argv = prefix;
    if (!stdoutFile.empty()) argv.insert(argv.end(), {"/bin/sh", "-c", "exec \"$0\" \"$@\" >" + stdoutFile});
    argv.push_back(programPath("OSTREL_CLI"));
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess child(argv, {{"OSTREL_OPS_LOG_DIR", logs.string()},
                              {"HOME", root.string()},
                              {"XDG_CONFIG_HOME", (root / "config").string()},
                              {"XDG_DATA_HOME", (root / "data").string()},
                              {"XDG_STATE_HOME", (root / "state").string()}});
    CliRun run;
    run.out = child.readAllStdout(std::chrono::seconds(30));
    run.exitCode = child.wait(std::chrono::seconds(30));
    run.err = child.readAllStderr(std::chrono::milliseconds(500));
    for (const auto& entry : std::filesystem::recursive_directory_iterator(logs)) {
        if (entry.is_regular_file()) run.logs += readFile(entry.path());
    }
    return run;
}

}  // namespace ostrel::test
