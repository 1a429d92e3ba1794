#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "store/settings_store.h"
#include "tests/support/test_support.h"

namespace ostrel {
namespace {

namespace fs = std::filesystem;
using test::readFile;

std::size_t openDescriptors() {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}

TEST(store_AtomicFile, ReplacesContentExactlyAndPrivately) {
    test::TempDir tmp;
    const fs::path file = tmp.path() / "f.json";
    const std::size_t descriptors = openDescriptors();
    EXPECT_FALSE(writeFileAtomic({}, "x"));
    // A longer leftover from a killed save must not leak its tail into the next file.
    test::writeFile(tmp.path() / "f.json.tmp", std::string(4096, 'z'));
    const std::string big(3 << 20, 'q');  // several write() calls' worth
    for (const std::string& content : {std::string("first"), std::string("a\0b\r\n\xff", 6), std::string(), big}) {
        ASSERT_TRUE(writeFileAtomic(file, content));
        EXPECT_TRUE(readFile(file) == content) << content.size();
        EXPECT_FALSE(fs::exists(tmp.path() / "f.json.tmp"));
    }
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    EXPECT_FALSE(writeFileAtomic(tmp.path() / "missing-folder" / "f.json", "x"));
    EXPECT_FALSE(fs::exists(tmp.path() / "missing-folder"));
    // A failed rename (a folder in the way) keeps the target and removes the temporary.
    fs::create_directories(tmp.path() / "busy" / "inside");
    EXPECT_FALSE(writeFileAtomic(tmp.path() / "busy", "x"));
    EXPECT_TRUE(fs::is_directory(tmp.path() / "busy" / "inside"));
    EXPECT_FALSE(fs::exists(tmp.path() / "busy.tmp"));
    EXPECT_EQ(openDescriptors(), descriptors) << "every file and folder opened is closed again";
}

TEST(store_AtomicFile, AFailedWriteKeepsTheOldFileAndRemovesTheTemporary) {
    test::TempDir tmp;
    const fs::path file = tmp.path() / "config.json";
    ASSERT_TRUE(writeFileAtomic(file, "old content"));
    // A file-size limit makes write() fail part-way (as a full disk would); run it in a child so
    // the limit does not reach this process.
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{1000, 1000};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::_exit(writeFileAtomic(file, std::string(5000, 'n')) ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the write must report failure";
    EXPECT_EQ(readFile(file), "old content");
    EXPECT_FALSE(fs::exists(tmp.path() / "config.json.tmp"));
}

TEST(store_AtomicFile, ReadFileTextReadsBytesAndTreatsFailuresAsEmpty) {
    test::TempDir tmp;
    for (const fs::path& path : {fs::path(), tmp.path() / "absent", tmp.path()})
        EXPECT_EQ(readFileText(path), "") << path;
    const std::string bytes("\xEF\xBB\xBF{\0}\r\n", 7);
    test::writeFile(tmp.path() / "f", bytes);
    EXPECT_EQ(readFileText(tmp.path() / "f"), bytes);
}

}  // namespace
}  // namespace ostrel
