#include <gtest/gtest.h>

#include <bwvutil/ps_utils.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <string>

#include "running.hpp"
#include "sys_support.hpp"

namespace {

using bwv::test::all_named;
using bwv::test::contains;
using bwv::test::copy_helper;
using bwv::test::Running;
using bwv::test::TempRoot;

// A name no other process on the machine carries.
std::string unique_name(const char *tag)
{
    return std::string(tag) + std::to_string(getpid()) + "xBrindleWaveAgent";
}

TEST(ProcessLookup, AgentIsFoundByItsNameAndByAnyTailOfIt)
{
    TempRoot dir;
    Running agent(copy_helper(dir, "BrindleWaveAgent"), "wait");
    EXPECT_TRUE(contains(all_named("BrindleWaveAgent", 1), agent.pid()));
    EXPECT_TRUE(contains(all_named("Agent", 1), agent.pid()));
    // ps_get_pid gives the first match, which may be another agent on this machine.
    EXPECT_GT(ps_get_pid("BrindleWaveAgent"), 0);

    std::string own = unique_name("lk");
    Running unique(copy_helper(dir, own), "wait");
    EXPECT_EQ(ps_get_pid(own.c_str()), unique.pid());
    EXPECT_EQ(ps_get_pid(own.substr(2).c_str()), unique.pid()) << "a tail of the name matches";
}

TEST(ProcessLookup, CaseFlagDecidesWhetherLetterCaseMatters)
{
    TempRoot dir;
    Running agent(copy_helper(dir, "BrindleWaveAgent"), "wait");
    EXPECT_TRUE(contains(all_named("brindlewaveagent", 0), agent.pid()));
    EXPECT_FALSE(contains(all_named("brindlewaveagent", 1), agent.pid()));

    TempRoot other;
    Running shouting(copy_helper(other, "BRINDLEWAVEAGENT"), "wait");
    EXPECT_TRUE(contains(all_named("BrindleWaveAgent", 0), shouting.pid()));
    EXPECT_FALSE(contains(all_named("BrindleWaveAgent", 1), shouting.pid()));
    EXPECT_NE(ps_get_pid("BRINDLEWAVEAGENT"), agent.pid());
}

TEST(ProcessLookup, NoMatchGivesZeroAndAnEmptyArrayToFree)
{
    std::string nobody = unique_name("none");
    EXPECT_EQ(ps_get_pid(nobody.c_str()), 0);
    int32_t *pids = nullptr;
    size_t count = 7;
    ASSERT_EQ(ps_get_pid_all(nobody.c_str(), 1, &pids, &count), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_NE(pids, nullptr);
    free(pids);

    EXPECT_EQ(ps_get_pid(std::string(PATH_MAX + 10, 'x').c_str()), 0) << "longer than every path";
    EXPECT_EQ(ps_get_pid(""), 0);
    EXPECT_EQ(ps_get_pid_all(nullptr, 1, &pids, &count), -1);
}

TEST(ProcessLookup, ProcessWhoseExecutableWasReplacedIsStillFound)
{
    // The upgrade case: a new file is moved over the path of the one still running.
    TempRoot dir;
    std::string name = unique_name("old");
    std::string exe = copy_helper(dir, name);
    Running old(exe, "wait");
    ASSERT_EQ(rename(copy_helper(dir, "new").c_str(), exe.c_str()), 0);
    EXPECT_EQ(ps_get_pid(name.c_str()), old.pid());
    EXPECT_TRUE(contains(all_named(name, 0), old.pid()));

    char path[4096];
    ASSERT_EQ(ps_get_path(old.pid(), path, sizeof path), 0);
    EXPECT_EQ(std::string(path), exe + " (deleted)") << "the kernel marks the path";
}

TEST(ProcessPath, ExecutablePathIsStoredCutToTheBuffer)
{
    char expected[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", expected, sizeof expected - 1), 0);
    char path[4096];
    ASSERT_EQ(ps_get_path(getpid(), path, sizeof path), 0);
    EXPECT_STREQ(path, expected);

    char small[10];
    ASSERT_EQ(ps_get_path(getpid(), small, sizeof small), 0);
    EXPECT_EQ(std::string(small), std::string(expected).substr(0, 9));

    EXPECT_EQ(ps_get_path(getpid(), nullptr, 10), -1);
    EXPECT_EQ(ps_get_path(getpid(), path, 0), -1);
    EXPECT_EQ(ps_get_path(INT_MAX, path, sizeof path), -2);
    EXPECT_STREQ(path, "");
}

TEST(PidFile, HoldsTheDigitsAndOneNulAndReadsBack)
{
    TempRoot dir;
    std::string file = dir.write("agent.pid", "1234567890123456789 and more");
    ASSERT_EQ(ps_write_pid_to_file(file.c_str()), 0);
    std::string expected = std::to_string(getpid());
    expected.push_back('\0');
    EXPECT_EQ(TempRoot::slurp(file), expected);
    EXPECT_EQ(ps_get_pid_from_file(file.c_str()), getpid());

    dir.write("987.pid", std::string("987\0", 4));
    EXPECT_EQ(ps_get_pid_from_file(dir.file("987.pid").c_str()), 987);
}

TEST(PidFile, UnreadableOrWrongFilesGiveTheDocumentedResults)
{
    TempRoot dir;
    const struct {
        const char *content;  // nullptr: no such file
        int pid;
    } reads[] = {{nullptr, 0}, {"abc", 0}, {"99999999999999999999", 0}, {"  \n 42\n", 42}};
    for (const auto &r : reads) {
        std::string file = r.content ? dir.write("read.pid", r.content) : dir.file("missing");
        EXPECT_EQ(ps_get_pid_from_file(file.c_str()), r.pid) << (r.content ? r.content : "missing");
    }
    EXPECT_EQ(ps_get_pid_from_file(nullptr), -1);
    std::string unwritable = dir.file("no/such/folder/x.pid");
    for (const char *path : {unwritable.c_str(), static_cast<const char *>(nullptr), "/dev/full"})
        EXPECT_EQ(ps_write_pid_to_file(path), -1) << (path ? path : "null");
}

TEST(PidFile, ShortWriteIsReportedAsFailure)
{
    TempRoot dir;
    std::string file = dir.file("short.pid");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Room for two bytes only: the digits and their NUL cannot all be written.
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim = {2, 2};
        setrlimit(RLIMIT_FSIZE, &lim);
        _exit(ps_write_pid_to_file(file.c_str()) == -1 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "a short write must give -1";
}

double seconds_since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

TEST(SafeKill, ProcessEndingOnSigtermIsStoppedPolitely)
{
    TempRoot dir;
    std::string name = unique_name("term");
    Running polite(copy_helper(dir, name), "wait");
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(ps_safe_kill(name.c_str()), 0);
    EXPECT_GE(seconds_since(t0), 0.99);
    int status = polite.finish();
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
}

TEST(SafeKill, ProcessIgnoringSigtermIsKilled)
{
    TempRoot dir;
    std::string name = unique_name("stub");
    Running stubborn(copy_helper(dir, name), "ignore-term");
    EXPECT_EQ(ps_safe_kill(name.c_str()), 0);
    int status = stubborn.finish();
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGKILL);
}

TEST(SafeKill, NameWithoutProcessAnswersAtOnce)
{
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(ps_safe_kill(unique_name("absent").c_str()), 0);
    EXPECT_LT(seconds_since(t0), 0.9);
}

}  // namespace
