// The crash handler, seen from outside: a helper process faults on purpose and the tests read
// its log, its crash report and its exit status.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <optional>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/crash_handler.h"
#include "tests/support/test_support.h"

namespace ostrel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const char* const kSource = "crash-helper";

std::string localStamp() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d_%H%M%S", &local);
    return text;
}

struct HelperRun {
    int exitCode = -1;
    long pid = 0;
    std::string stamp;  // local time just before the start and just after the end
    std::string stampAfter;
    std::string log;
    std::vector<std::string> headlines;  // fatal "[crash] " lines, without the prefix
    std::vector<std::string> errors;     // error "[crash] " lines, without the prefix
    std::vector<fs::path> reports;

    bool logHas(const std::string& text) const { return log.find(text) != std::string::npos; }
    std::vector<std::string> frames() const {
        std::vector<std::string> out;
        const std::regex frame(R"(  #(\d+) (.+))");
        std::smatch m;
        for (const auto& line : errors) {
            if (std::regex_match(line, m, frame)) out.push_back(m[2]);
        }
        return out;
    }
};

// Runs the helper in `mode` with its logs under `root`; the dump folder defaults to the log folder.
HelperRun runHelper(const std::string& mode, const fs::path& root, const std::optional<fs::path>& dumpDir = std::nullopt) {
    HelperRun run;
    std::vector<std::string> argv{test::programPath("OSTREL_CRASH_HELPER"), mode};
    if (dumpDir) argv.push_back(dumpDir->string());
    run.stamp = localStamp();
    test::ChildProcess child(argv, {{"OSTREL_OPS_LOG_DIR", root.string()}});
    run.pid = child.pid();
    const auto code = child.wait(60s);
    run.stampAfter = localStamp();
    EXPECT_TRUE(code.has_value()) << mode << ": the helper did not end";
    run.exitCode = code.value_or(-1);

    const fs::path logDir = root / kSource;
    const std::regex crashLine(R"(\S+ \S+ ([FE]) \[crash-helper\] \[crash\] (.*))");
    for (const auto& file : test::listFiles(logDir)) {
        const std::string name = file.filename().string();
        if (name.rfind(std::string(kSource) + "-crash-", 0) == 0) run.reports.push_back(file);
        if (name.rfind("Log_", 0) != 0) continue;
        for (const auto& line : test::readLines(file)) {
            run.log += line + "\n";
            std::smatch m;
            if (std::regex_match(line, m, crashLine)) (m[1] == "F" ? run.headlines : run.errors).push_back(m[2]);
        }
    }
    if (dumpDir) run.reports = test::listFiles(*dumpDir);
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

void PrintTo(const FaultCase& c, std::ostream* out) { *out << c.mode; }

// clang-format off
const FaultCase kFaultCases[] = {
    {"null-write", 128 + SIGSEGV,
     R"(fatal signal SIGSEGV: ACCESS_VIOLATION at helper::faultNullWrite\(\) \+ 0x[0-9A-F]+ \(crash_helper\.cpp:\d+\) while writing 0x0)",
     "helper::faultNullWrite()"},
    {"stack-overflow", 128 + SIGSEGV, R"(fatal signal SIGSEGV: STACK_OVERFLOW at helper::recurse\(int\) \+ 0x[0-9A-F]+ \(.*)",
     "helper::recurse(int)"},
    {"divide", 128 + SIGFPE, R"(fatal signal SIGFPE: INT_DIVIDE_BY_ZERO at helper::faultDivide\(\) \+ .*)",
     "helper::faultDivide()"},
    {"illegal", 128 + SIGILL, R"(fatal signal SIGILL: ILLEGAL_INSTRUCTION at helper::faultIllegal\(\) \+ .*)",
     "helper::faultIllegal()"},
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

    const fs::path dumpDir = tmp_.path() / kSource;
    EXPECT_TRUE(run.logHas("[crash] handler installed (dumps -> " + dumpDir.string() + ")")) << run.log;
    ASSERT_EQ(run.headlines.size(), 1u) << run.log;
    const std::string thread = " \\(thread " + std::to_string(run.pid) + "\\)";
    EXPECT_TRUE(std::regex_match(run.headlines[0], std::regex(std::string(c.headline) + thread))) << run.headlines[0];

    const auto frames = run.frames();
    ASSERT_FALSE(frames.empty()) << run.log;
    EXPECT_LE(frames.size(), 62u);
    bool named = false;
    for (const auto& f : frames) named = named || f.rfind(c.function, 0) == 0;
    EXPECT_TRUE(named) << c.function << " is in no frame line:\n" << run.log;
    // Frame lines are numbered from 0 without gaps, right after the headline.
    const std::regex numbered(R"(  #(\d+) .+)");
    int expected = 0;
    for (const auto& line : run.errors) {
        std::smatch m;
        if (std::regex_match(line, m, numbered)) {
            EXPECT_EQ(std::stoi(m[1]), expected++) << line;
        }
    }

    ASSERT_EQ(run.reports.size(), 1u);
    const fs::path report = run.reports[0];
    EXPECT_EQ(report.parent_path(), dumpDir);
    const std::regex name(std::string(kSource) + R"(-crash-(\d{8}_\d{6})-)" + std::to_string(run.pid) + R"(\.txt)");
    std::smatch m;
    const std::string fileName = report.filename().string();
    ASSERT_TRUE(std::regex_match(fileName, m, name)) << fileName;
    EXPECT_GE(m[1].str(), run.stamp);
    EXPECT_LE(m[1].str(), run.stampAfter);
    EXPECT_TRUE(run.logHas("[crash] minidump written: " + report.string())) << run.log;

    const std::string text = test::readFile(report);
    EXPECT_NE(text.find("program: crash-helper 1.0.0.40 (git 10a309613)"), std::string::npos) << text;
    EXPECT_NE(text.find("headline: " + run.headlines[0] + "\n"), std::string::npos) << text;
    EXPECT_NE(text.find(c.function), std::string::npos) << text;
    EXPECT_NE(text.find("\nthreads:\n  " + std::to_string(run.pid) + " crash_helper (crashed)\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("crash_helper\n"), std::string::npos) << "module map without the program:\n" << text;
    EXPECT_TRUE(text.ends_with("end of report\n")) << text;
    if (c.exitCode > 128) {
        EXPECT_NE(text.find("\nsignal: " + std::to_string(c.exitCode - 128) + " ("), std::string::npos) << text;
        EXPECT_NE(text.find("\nregisters:\n"), std::string::npos) << text;
    }
}

INSTANTIATE_TEST_SUITE_P(app, appCrashFault, ::testing::ValuesIn(kFaultCases),
                         [](const auto& info) {
                             std::string name = info.param.mode;
                             for (auto& ch : name) ch = ch == '-' ? '_' : ch;
                             return name;
                         });

TEST_F(appCrash, StackOverflowKeepsTheFirst62Frames) {
    const HelperRun run = runHelper("stack-overflow", tmp_.path());
    const auto frames = run.frames();
    ASSERT_EQ(frames.size(), 62u) << run.log;
    for (const auto& f : frames) EXPECT_EQ(f.rfind("helper::recurse(int) + 0x", 0), 0u) << f;
}

TEST_F(appCrash, TwoThreadsFaultingAtOnceGiveOneReport) {
    const HelperRun run = runHelper("two-threads", tmp_.path());
    EXPECT_EQ(run.exitCode, 128 + SIGSEGV);
    ASSERT_EQ(run.headlines.size(), 1u) << run.log;
    EXPECT_EQ(run.headlines[0].find("fatal signal SIGSEGV: ACCESS_VIOLATION at helper::faultNullWrite()"), 0u);
    EXPECT_EQ(run.headlines[0].find("(thread " + std::to_string(run.pid) + ")"), std::string::npos)
        << "a worker thread faulted, not the main thread: " << run.headlines[0];
    EXPECT_EQ(run.reports.size(), 1u);
}

TEST_F(appCrash, UnwritableDumpFolderStillLogs) {
    const fs::path blocker = tmp_.path() / "not-a-folder";
    test::writeFile(blocker, "x");
    const fs::path dumpDir = blocker / "dumps";
    const HelperRun run = runHelper("null-write", tmp_.path(), dumpDir);
    EXPECT_EQ(run.exitCode, 128 + SIGSEGV);
    ASSERT_EQ(run.headlines.size(), 1u) << run.log;
    EXPECT_FALSE(run.frames().empty()) << run.log;
    const std::regex failure("could not create dump file " + dumpDir.string() + R"(/crash-helper-crash-\d{8}_\d{6}-)" +
                             std::to_string(run.pid) + R"(\.txt)");
    ASSERT_FALSE(run.errors.empty());
    EXPECT_TRUE(std::regex_match(run.errors.back(), failure)) << run.log;
    EXPECT_FALSE(run.logHas("minidump written")) << run.log;
}

// A handler that faults or hangs after the raw report: the process still dies of the first
// signal, nothing is logged, and the raw report keeps the headline and the frames.
struct BrokenHandlerCase {
    const char* mode;
    const char* reportEnd;  // how the report file ends
};

void PrintTo(const BrokenHandlerCase& c, std::ostream* out) { *out << c.mode; }

class appCrashBrokenHandler : public appCrash, public ::testing::WithParamInterface<BrokenHandlerCase> {};

TEST_P(appCrashBrokenHandler, RawReportSurvivesAndTheFirstSignalEndsTheProcess) {
    const HelperRun run = runHelper(GetParam().mode, tmp_.path());
    EXPECT_EQ(run.exitCode, 128 + SIGSEGV);
    EXPECT_TRUE(run.headlines.empty()) << run.log;
    EXPECT_TRUE(run.errors.empty()) << run.log;
    ASSERT_EQ(run.reports.size(), 1u);
    const std::string text = test::readFile(run.reports[0]);
    const auto lines = test::readLines(run.reports[0]);
    const auto stack = std::find(lines.begin(), lines.end(), "stack (raw):");
    ASSERT_NE(stack, lines.end()) << text;
    ASSERT_NE(stack + 1, lines.end()) << text;
    EXPECT_TRUE(std::regex_match(stack[1], std::regex(R"(  #0 0x[0-9A-F]{16} crash_helper\+0x[0-9A-F]+)"))) << text;
    const std::regex headline(R"(headline: fatal signal SIGSEGV: ACCESS_VIOLATION at crash_helper\+0x[0-9A-F]+ while writing 0x0 \(thread \d+\))");
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return std::regex_match(l, headline); }), 1)
        << text;
    EXPECT_EQ(text.find("SIGILL"), std::string::npos) << text;
    EXPECT_EQ(text.find("\nsymbolised:\n"), std::string::npos) << text;
    EXPECT_TRUE(text.ends_with(GetParam().reportEnd)) << text;
}

// The fault leaves the report as the first stage wrote it, ending with the module map.
INSTANTIATE_TEST_SUITE_P(app, appCrashBrokenHandler,
                         ::testing::Values(BrokenHandlerCase{"fault-in-handler", "]\n"},
                                           BrokenHandlerCase{"hang-in-handler",
                                                             "\nwatchdog: the handler did not finish within 1 s\n"}),
                         [](const auto& info) { return info.param.mode[0] == 'f' ? "fault" : "hang"; });

// Sanitizer builds: the handler stays out of the way and says so.
TEST(appCrashInstall, StepsAsideUnderSanitizers) {
    const char* why = crash::unavailableReason();
    if (why == nullptr) GTEST_SKIP() << "no sanitizer in this build; the handler is active";
    test::TempDir tmp;
    const HelperRun run = runHelper("install-only", tmp.path());
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(run.logHas(std::string("[crash] handler not installed: ") + why)) << run.log;
    EXPECT_FALSE(run.logHas("handler installed")) << run.log;
}

TEST(appCrashInstall, CliInstallsTheHandlerIntoItsLogFolder) {
    test::TempDir tmp;
    test::ChildProcess cli({test::programPath("OSTREL_CLI"), "--version"}, {{"OSTREL_OPS_LOG_DIR", tmp.path().string()}});
    ASSERT_EQ(cli.wait(30s), 0);
    std::string log;
    for (const auto& file : test::listFiles(tmp.path() / "control-cli")) log += test::readFile(file);
    const char* why = crash::unavailableReason();
    const std::string expected = why == nullptr ? "[crash] handler installed (dumps -> " +
                                                      (tmp.path() / "control-cli").string() + ")"
                                                : std::string("[crash] handler not installed: ") + why;
    EXPECT_NE(log.find(expected), std::string::npos) << log;
}

}  // namespace
}  // namespace ostrel
