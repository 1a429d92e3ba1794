// The crash handler, seen from outside: a helper process faults on purpose and the tests read
// its log, its crash report and its exit status.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <regex>

#include <gtest/gtest.h>

#include "app/crash_handler.h"
#include "tests/support/test_support.h"

namespace ostrel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace std::string_literals;

std::string localStamp() {
    const std::time_t now = std::time(nullptr);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d_%H%M%S", std::localtime(&now));
    return text;
}

struct HelperRun {
    int exitCode = -1;
    std::string pid, stampBefore, stampAfter, log;
    std::vector<std::string> headlines, errors, frames;  // "[crash] " texts at F, at E, and the frames among those
    std::vector<fs::path> reports;
    bool logHas(const std::string& text) const { return log.find(text) != std::string::npos; }
};

// Runs the helper in `mode` with its logs (and by default its reports) under `root`.
HelperRun runHelper(const std::string& mode, const fs::path& root, const std::string& dumpDir = "") {
    HelperRun run;
    run.stampBefore = localStamp();
    test::ChildProcess child({test::programPath("OSTREL_CRASH_HELPER"), mode, dumpDir},
                             {{"OSTREL_OPS_LOG_DIR", root.string()}});
    run.pid = std::to_string(child.pid());
    run.exitCode = child.wait(60s).value_or(-1);
    run.stampAfter = localStamp();
    const std::regex crashLine(R"(\S+ \S+ ([FE]) \[crash-helper\] \[crash\] (.*))"), frame(R"(  #(\d+) (.+))");
    for (const auto& file : test::listFiles(root / "crash-helper")) {
        const std::string name = file.filename().string();
        if (name.starts_with("crash-helper-crash-")) run.reports.push_back(file);
        for (const auto& line : name.starts_with("Log_") ? test::readLines(file) : std::vector<std::string>{}) {
            run.log += line + "\n";
            std::smatch m, f;
            if (!std::regex_match(line, m, crashLine)) continue;
            (m[1] == "F" ? run.headlines : run.errors).push_back(m[2]);
            const std::string text = m[2];
            if (m[1] == "E" && std::regex_match(text, f, frame)) {
                EXPECT_EQ(std::stoul(f[1]), run.frames.size()) << text;
                run.frames.push_back(f[2]);
            }
        }
    }
    return run;
}

class appCrash : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* why = crash::unavailableReason()) GTEST_SKIP() << "crash handler steps aside: " << why;
    }
    test::TempDir tmp_;
};

struct FaultCase {
    const char* mode;
    int exitCode;          // 128 + signal for a death by signal
    const char* headline;  // pattern of the headline up to " (thread N)"
    const char* function;  // a frame line names it
};
void PrintTo(const FaultCase& c, std::ostream* out) {
    *out << c.mode;
}

// clang-format off
const FaultCase kFaultCases[] = {
    {"null-write", 128 + SIGSEGV, R"(fatal signal SIGSEGV: ACCESS_VIOLATION at helper::faultNullWrite\(\) \+ 0x[0-9A-F]+ \(crash_helper\.cpp:\d+\) while writing 0x0)", "helper::faultNullWrite()"},
    // Two threads fault at once: one of them reports.
    {"two-threads", 128 + SIGSEGV, R"(fatal signal SIGSEGV: ACCESS_VIOLATION at helper::faultNullWrite\(\) \+ .*)", "helper::faultNullWrite()"},
    {"stack-overflow", 128 + SIGSEGV, R"(fatal signal SIGSEGV: STACK_OVERFLOW at helper::recurse\(int\) \+ 0x[0-9A-F]+ \(.*)", "helper::recurse(int)"},
    {"divide", 128 + SIGFPE, R"(fatal signal SIGFPE: INT_DIVIDE_BY_ZERO at helper::faultDivide\(\) \+ .*)", "helper::faultDivide()"},
    {"illegal", 128 + SIGILL, R"(fatal signal SIGILL: ILLEGAL_INSTRUCTION at helper::faultIllegal\(\) \+ .*)", "helper::faultIllegal()"},
    {"bus", 128 + SIGBUS, R"(fatal signal SIGBUS: IN_PAGE_ERROR at helper::faultBus\(\) \+ .*)", "helper::faultBus()"},
    {"abort", 128 + SIGABRT, R"(fatal signal SIGABRT: SI_TKILL at .+)", "helper::faultAbort()"},
    {"raise-segv", 128 + SIGSEGV, R"(fatal signal SIGSEGV: SI_TKILL at .+)", "helper::raiseSegv()"},
    {"terminate-std", 3, R"(std::terminate called: thrown by the helper)", "helper::throwStd()"},
    {"terminate-other", 3, R"(std::terminate called: non-std exception)", "helper::throwOther()"},
    {"pure-virtual", 3, R"(pure virtual function call)", "helper::pureVirtualCall()"},
};
// clang-format on

class appCrashFault : public appCrash, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(appCrashFault, LogsTheHeadlineAndFramesAndWritesTheReport) {
    const FaultCase& c = GetParam();
    const HelperRun run = runHelper(c.mode, tmp_.path());
    EXPECT_EQ(run.exitCode, c.exitCode) << run.log;
    ASSERT_TRUE(run.headlines.size() == 1 && run.reports.size() == 1) << run.log;
    std::smatch thread, stamp;
    ASSERT_TRUE(std::regex_match(run.headlines[0], thread, std::regex(c.headline + R"( \(thread (\d+)\))"s)))
        << run.headlines[0];
    EXPECT_EQ(thread[1] == run.pid, c.mode != "two-threads"s) << "the main thread faults, or else a worker";
    // At most 62 frames; an overflowing stack fills them all with the recursion.
    const auto named = std::count_if(run.frames.begin(), run.frames.end(),
                                     [&](const std::string& f) { return f.starts_with(c.function); });
    EXPECT_TRUE(named >= (c.mode == "stack-overflow"s ? 62 : 1) && run.frames.size() <= 62u) << c.function << run.log;

    const fs::path report = run.reports[0];
    const std::string fileName = report.filename().string();
    ASSERT_TRUE(
        std::regex_match(fileName, stamp, std::regex(R"(crash-helper-crash-(\d{8}_\d{6})-)" + run.pid + ".txt")));
    EXPECT_TRUE(stamp[1].str() >= run.stampBefore && stamp[1].str() <= run.stampAfter) << fileName;
    EXPECT_TRUE(run.logHas("[crash] minidump written: " + report.string())) << run.log;
    const std::string text = test::readFile(report);
    const std::string signal = c.exitCode > 128 ? "\nsignal: " + std::to_string(c.exitCode - 128) + " (" : "";
    for (const std::string& part :
         {"program: crash-helper 1.0.0.40 (git 10a309613)"s, "headline: " + run.headlines[0] + "\n",
          std::string(c.function), "\nthreads:\n  " + run.pid + " crash_helper",
          "\n  " + thread[1].str() + " crash_helper (crashed)\n", "crash_helper\n"s, signal,
          signal.empty() ? ""s : "\nregisters:\n"s}) {
        EXPECT_NE(text.find(part), std::string::npos) << part << " is not in the report:\n" << text;
    }
    EXPECT_TRUE(text.ends_with("end of report\n")) << text;
}

INSTANTIATE_TEST_SUITE_P(app, appCrashFault, ::testing::ValuesIn(kFaultCases), [](const auto& info) {
    std::string name = info.param.mode;
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
});

// An unwritable dump folder still leaves the headline and the frames in the log. A handler that
// faults or hangs after the raw report: the process still dies of the first signal, nothing is
// logged, and the raw report keeps the headline and the frames, ending with the module map (a
// fault) or the watchdog's line (a hang).
TEST_F(appCrash, UnwritableDumpFolderOrABrokenHandler) {
    test::writeFile(tmp_.path() / "not-a-folder", "x");
    const std::string dumpDir = (tmp_.path() / "not-a-folder" / "dumps").string();
    const HelperRun unwritable = runHelper("null-write", tmp_.path(), dumpDir);
    EXPECT_TRUE(unwritable.exitCode == 128 + SIGSEGV && unwritable.headlines.size() == 1 &&
                !unwritable.frames.empty() && !unwritable.logHas("minidump written") &&
                std::regex_match(unwritable.errors.back(),
                                 std::regex("could not create dump file " + dumpDir +
                                            R"(/crash-helper-crash-\d{8}_\d{6}-)" + unwritable.pid + R"(\.txt)")))
        << unwritable.log;

    const std::regex raw(
        R"(\nheadline: fatal signal SIGSEGV: ACCESS_VIOLATION at crash_helper\+0x[0-9A-F]+ while writing 0x0 \(thread \d+\)\n)"
        R"([\s\S]*\nstack \(raw\):\n  #0 0x[0-9A-F]{16} crash_helper\+0x[0-9A-F]+\n)");
    for (const auto& [mode, end] :
         {std::pair("fault-in-handler", "]\n"),
          std::pair("hang-in-handler", "\nwatchdog: the handler did not finish within 1 s\n")}) {
        const HelperRun run = runHelper(mode, tmp_.path() / mode);
        ASSERT_TRUE(run.exitCode == 128 + SIGSEGV && run.headlines.empty() && run.errors.empty() &&
                    run.reports.size() == 1)
            << mode << run.log;
        const std::string text = test::readFile(run.reports[0]);
        EXPECT_TRUE(std::regex_search(text, raw) && text.ends_with(end) && text.find("SIGILL") == std::string::npos &&
                    text.find("headline:") == text.rfind("headline:") && text.find("\nsymbolised:\n") == text.npos)
            << text;
    }
}

// The CLI installs the handler into its log folder; sanitizer builds leave it out and say why.
TEST(appCrashInstall, TheCliInstallsTheHandlerOrSaysWhyNot) {
    test::TempDir tmp;
    test::ChildProcess cli({test::programPath("OSTREL_CLI"), "--version"},
                           {{"OSTREL_OPS_LOG_DIR", tmp.path().string()}});
    ASSERT_EQ(cli.wait(30s), 0);
    std::string log;
    for (const auto& file : test::listFiles(tmp.path() / "control-cli")) log += test::readFile(file);
    const char* why = crash::unavailableReason();
    EXPECT_NE(log.find(why ? "[crash] handler not installed: "s + why
                           : "[crash] handler installed (dumps -> " + (tmp.path() / "control-cli").string() + ")"),
              std::string::npos)
        << log;
}

}  // namespace
}  // namespace ostrel
