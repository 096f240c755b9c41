#include <gtest/gtest.h>

#include <bwvutil/ps_utils.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <string>
#include <utility>

#include "support/bwvtest.hpp"

namespace {

using bwv::test::TempDir;

// A copy of sleep(1) at `exe`, running until the test ends; started once the exec closed
// the close-on-exec pipe, so the process table shows the copy.
struct Running {
    explicit Running(const std::string &exe, bool ignore_term = false)
    {
        std::filesystem::copy_file("/bin/sleep", exe);
        int p[2];
        EXPECT_EQ(pipe2(p, O_CLOEXEC), 0);
        if ((pid = fork()) == 0) {
            signal(SIGTERM, ignore_term ? SIG_IGN : SIG_DFL);  // an ignored signal stays so across exec
            execl(exe.c_str(), exe.c_str(), "1000", nullptr);
            _exit(127);
        }
        close(p[1]);
        char c;
        EXPECT_EQ(read(p[0], &c, 1), 0);
        close(p[0]);
    }
    ~Running()
    {
        if (pid > 0 && kill(pid, SIGKILL) == 0)
            finish();
    }
    int finish()
    {
        int status = -1;
        waitpid(std::exchange(pid, -1), &status, 0);
        return status;
    }
    pid_t pid;
};

bool found(const std::string &name, int case_sensitive, pid_t pid)
{
    int32_t *pids = nullptr;
    size_t count = 99;
    EXPECT_EQ(ps_get_pid_all(name.c_str(), case_sensitive, &pids, &count), 0);
    bool in = std::find(pids, pids + count, pid) != pids + count;
    free(pids);
    return in;
}

// A name no other process on the machine carries.
std::string unique_name(const char *tag) { return tag + std::to_string(getpid()) + "xBrindleWaveAgent"; }

TEST(ProcessLookup, NameMatchesAnyTailOfTheExecutablePathInTheCaseAsked)
{
    TempDir dir("bwvsys");
    std::string own = unique_name("lk");
    Running agent(dir.file("BrindleWaveAgent")), shouting(dir.mkdirs("b") + "/BRINDLEWAVEAGENT"), unique(dir.file(own));
    const struct {
        const char *name;
        int case_sensitive;
        bool agent, shouting;
    } rows[] = {{"BrindleWaveAgent", 1, true, false}, {"Agent", 1, true, false}, {"brindlewaveagent", 0, true, true},
                {"brindlewaveagent", 1, false, false}, {"BrindleWaveAgent", 0, true, true}};
    for (const auto &r : rows) {
        EXPECT_EQ(found(r.name, r.case_sensitive, agent.pid), r.agent) << r.name << r.case_sensitive;
        EXPECT_EQ(found(r.name, r.case_sensitive, shouting.pid), r.shouting) << r.name << r.case_sensitive;
    }
    EXPECT_EQ(ps_get_pid(own.c_str()), unique.pid);
    EXPECT_EQ(ps_get_pid(own.substr(2).c_str()), unique.pid);
    for (const std::string &none : {unique_name("none"), std::string(PATH_MAX + 10, 'x'), std::string()})
        EXPECT_EQ(ps_get_pid(none.c_str()), 0);
    int32_t *pids = nullptr;
    size_t count = 7;
    ASSERT_EQ(ps_get_pid_all(unique_name("none").c_str(), 1, &pids, &count), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_NE(pids, nullptr) << "an array to free even without a match";
    free(pids);
    EXPECT_EQ(ps_get_pid_all(nullptr, 1, &pids, &count), -1);
}

TEST(ProcessLookup, ProcessWhoseExecutableWasReplacedIsStillFound)
{
    // The upgrade case: a new file is moved over the path of the one still running.
    TempDir dir("bwvsys");
    std::string name = unique_name("old"), exe = dir.file(name);
    Running old(exe);
    std::filesystem::copy_file("/bin/sleep", dir.file("new"));
    ASSERT_EQ(rename(dir.file("new").c_str(), exe.c_str()), 0);
    EXPECT_EQ(ps_get_pid(name.c_str()), old.pid);
    EXPECT_TRUE(found(name, 0, old.pid));
    char path[4096], small[10];
    ASSERT_EQ(ps_get_path(old.pid, path, sizeof path), 0);
    EXPECT_EQ(path, exe + " (deleted)");
    ASSERT_EQ(ps_get_path(old.pid, small, sizeof small), 0);
    EXPECT_EQ(small, exe.substr(0, 9)) << "cut to the buffer";
    EXPECT_EQ(ps_get_path(old.pid, nullptr, 10), -1);
    EXPECT_EQ(ps_get_path(old.pid, path, 0), -1);
    EXPECT_EQ(ps_get_path(INT_MAX, path, sizeof path), -2);
    EXPECT_STREQ(path, "");
}

TEST(PidFile, DigitsAndOneNulAreWrittenAndTheFirstNumberIsRead)
{
    TempDir dir;
    std::string file = dir.write("agent.pid", "1234567890123456789 and more");
    ASSERT_EQ(ps_write_pid_to_file(file.c_str()), 0);
    EXPECT_EQ(dir.read("agent.pid"), std::to_string(getpid()) + '\0');
    EXPECT_EQ(ps_get_pid_from_file(file.c_str()), getpid());
    const std::pair<const char *, int> reads[] = {{"abc", 0}, {"99999999999999999999", 0}, {"  \n 42\n", 42}};
    for (const auto &[content, pid] : reads)
        EXPECT_EQ(ps_get_pid_from_file(dir.write("read.pid", content).c_str()), pid) << content;
    EXPECT_EQ(ps_get_pid_from_file(dir.file("missing").c_str()), 0);
    EXPECT_EQ(ps_get_pid_from_file(nullptr), -1);
    std::string unwritable = dir.file("no/such/x.pid");
    for (const char *path : {unwritable.c_str(), static_cast<const char *>(nullptr), "/dev/full"})
        EXPECT_EQ(ps_write_pid_to_file(path), -1);
    // Room for two bytes only: the digits and their NUL cannot all be written.
    EXPECT_EQ(bwv::test::in_fresh_process([&] {
                  signal(SIGXFSZ, SIG_IGN);
                  struct rlimit lim = {2, 2};
                  setrlimit(RLIMIT_FSIZE, &lim);
                  return std::to_string(ps_write_pid_to_file(dir.file("short.pid").c_str()));
              }),
              "-1");
}

TEST(SafeKill, SigtermFirstAndSigkillForAProcessStillThereASecondLater)
{
    TempDir dir("bwvsys");
    std::string polite_name = unique_name("term"), stubborn_name = unique_name("stub");
    Running polite(dir.file(polite_name)), stubborn(dir.file(stubborn_name), true);
    EXPECT_EQ(ps_safe_kill(polite_name.c_str()), 0);
    EXPECT_EQ(ps_safe_kill(stubborn_name.c_str()), 0);
    EXPECT_EQ(WTERMSIG(polite.finish()), SIGTERM);
    EXPECT_EQ(WTERMSIG(stubborn.finish()), SIGKILL);
    EXPECT_EQ(ps_safe_kill(unique_name("absent").c_str()), 0);
}

}  // namespace
