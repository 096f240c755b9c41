#include <gtest/gtest.h>

#include <bwvutil/ps_utils.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <filesystem>
#include <string>
#include <tuple>
#include <utility>

#include "support/bwvtest.hpp"
#include "system/child.hpp"

namespace {

using bwv::sys::ArgVector;
using bwv::test::read_file;
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
    Running agent(dir.file("BrindleWaveAgent")), shouting(dir.file("BRINDLEWAVEAGENT")), unique(dir.file(own));
    // name, case_sensitive, whether the agent and its shouting twin are found
    const std::tuple<const char *, int, bool, bool> rows[] = {
        {"BrindleWaveAgent", 1, true, false}, {"Agent", 1, true, false}, {"brindlewaveagent", 0, true, true},
        {"brindlewaveagent", 1, false, false}, {"BrindleWaveAgent", 0, true, true}};
    for (const auto &[name, case_sensitive, agent_found, shouting_found] : rows) {
        EXPECT_EQ(found(name, case_sensitive, agent.pid), agent_found) << name << case_sensitive;
        EXPECT_EQ(found(name, case_sensitive, shouting.pid), shouting_found) << name << case_sensitive;
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

std::string read_to_end(int fd)
{
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        out.append(buf, static_cast<size_t>(n));
    return out;
}

std::string text(dbuf *b) { return std::string(static_cast<char *>(dbuf_data(b)), dbuf_len(b)); }

TEST(Popen3, ChildTalksOverThreePipesAndItsStatusComesBackUndecoded)
{
    // script, input, output, error output, wait status
    const std::tuple<const char *, std::string, std::string, std::string, int> rows[] = {
        {"tr a-z A-Z", "quiet words", "QUIET WORDS", "", 0}, {"echo oops >&2; exit 3", "", "", "oops\n", 3 << 8},
        {"kill -9 $$", "", "", "", SIGKILL}};
    for (const auto &[script, input, out, err, status] : rows) {
        ArgVector sh{"sh", "-c", script};
        int fds[3];
        pid_t pid = popen3(fds, "sh", sh.get());  // no "/": looked up in the search path
        ASSERT_GT(pid, 0);
        EXPECT_EQ(write(fds[0], input.data(), input.size()), static_cast<ssize_t>(input.size()));
        close(std::exchange(fds[0], -1));
        EXPECT_EQ(read_to_end(fds[1]), out);
        EXPECT_EQ(read_to_end(fds[2]), err);
        EXPECT_EQ(pclose3(pid, fds), status) << script;
    }
}

TEST(RunTool, BothStreamsAreDrainedAtOnceWholeAndInOrderIntoOneBufferOrTwo)
{
    // Each stream alone overfills a pipe, so reading one to its end first would hang; the
    // streams are this test program and the shell.
    TempDir dir;
    const std::string out = read_file("/proc/self/exe"), err = read_file("/bin/sh");
    ArgVector tool{dir.script("tool", "cat /bin/sh >&2; cat /proc/" + std::to_string(getpid()) + "/exe; cat /bin/sh >&2\n")};
    dbuf *o = dbuf_create(), *e = dbuf_create(), *both = dbuf_create();
    // Bytes the caller already consumed are reclaimed by the first piece.
    ASSERT_EQ(dbuf_write(o, "abcdef", 6), 0);
    dbuf_read(o, nullptr, 4);
    ASSERT_EQ(ps_runtool(tool.get(), o, e), 0);
    EXPECT_TRUE(text(o) == "ef" + out);
    EXPECT_TRUE(text(e) == err + err);
    EXPECT_EQ(ps_runtool(tool.get(), nullptr, nullptr), 0) << "read and dropped";

    // One buffer for both streams: the error bytes arrive once the buffer is large.
    ArgVector burst{dir.script("burst", "head -c 200000 /bin/sh; printf E >&2; tail -c +200001 /bin/sh\n")};
    ASSERT_EQ(ps_runtool(burst.get(), both, both), 0);
    std::string got = text(both), expected = err + "E";
    std::sort(got.begin(), got.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_TRUE(got == expected) << "where the error byte lands is not known";
    for (dbuf *b : {o, e, both})
        dbuf_destroy(b);
}

TEST(RunTool, ResultIsAboutStartingAndReadingNotTheToolsStatus)
{
    TempDir dir;
    ArgVector missing{dir.file("absent")}, plain{dir.write("plain.txt", "not a program")},
        three{"/bin/sh", "-c", "exit 3"}, killed{"/bin/sh", "-c", "kill -9 $$"}, none(std::vector<std::string>{});
    const std::pair<char *const *, int> rows[] = {{missing.get(), -8}, {plain.get(), 0}, {three.get(), 0},
                                                  {killed.get(), 0},   {none.get(), -1},  {nullptr, -1}};
    for (const auto &[argv, rc] : rows)
        EXPECT_EQ(ps_runtool(argv, nullptr, nullptr), rc) << (argv && argv[0] ? argv[0] : "null");
}

struct Exchange {
    std::string input, output;
    bool called = false;
};

int exchange(execute_cmd_ctx *ctx, int out_fd, int in_fd)
{
    auto *ex = static_cast<Exchange *>(ctx->user0);
    ex->called = true;
    ssize_t w = write(in_fd, ex->input.data(), ex->input.size());
    close(in_fd);
    ex->output = read_to_end(out_fd);
    close(out_fd);
    return w < 0 ? -1 : 0;
}

TEST(ExecuteCmd, LineIsSplitAndExpandedInTheChildWhichTalksToTheHandler)
{
    // The caller's own stdin holds other bytes than the handler's input.
    int saved = dup(0);
    ASSERT_NE(freopen("/bin/sh", "r", stdin), nullptr);
    unsetenv("BWV_ASSIGNED");
    // command line, handler's input, output, result
    const std::tuple<const char *, const char *, const char *, int> rows[] = {
        {"tr a-z A-Z", "hello pipes", "HELLO PIPES", 0},
        {"printf '%s|' \"two words\" one", "", "two words|one|", 0},
        {"printf %s ${BWV_ASSIGNED=child}", "", "child", 0},
        {"printf %s $(cat)", "handler", "handler", 0},
        {"sh -c 'exit 3'", "", "", 3},
        {"sh -c 'kill -9 $$'", "", "", 9},  // the undecoded status
        {"echo 'unbalanced", "", "", 1},
        {"/nonexistent/tool arg", "", "", 1},
    };
    for (const auto &[cmd, input, output, rc] : rows) {
        Exchange ex{input, "", false};
        execute_cmd_ctx ctx{&ex, nullptr, exchange};
        EXPECT_EQ(execute_cmd(cmd, &ctx), rc) << cmd;
        EXPECT_EQ(ex.output, output) << cmd;
        EXPECT_TRUE(ex.called);
    }
    dup2(saved, 0);
    close(saved);
    EXPECT_EQ(getenv("BWV_ASSIGNED"), nullptr) << "the caller's environment changed";
    Exchange ex;
    execute_cmd_ctx ctx{&ex, nullptr, exchange};
    EXPECT_EQ(execute_cmd(nullptr, &ctx), -1);
    EXPECT_FALSE(ex.called);
}

TEST(CloseAll, ForkedChildKeepsOnlyDevNullOnItsStandardDescriptors)
{
    int extra = open("/dev/zero", O_RDONLY);  // would be inherited across exec
    // closeall closes the answer's pipe too: the exit status is the answer ("" for 0).
    EXPECT_EQ(bwv::test::in_fresh_process([]() -> std::string {
                  closeall();
                  int open_fds = 0;
                  for (int fd = 0; fd < 4096; ++fd)
                      open_fds += fcntl(fd, F_GETFD) != -1;
                  struct stat st {}, null_st {};
                  _exit(open_fds == 3 && fstat(2, &st) == 0 && stat("/dev/null", &null_st) == 0 &&
                                st.st_rdev == null_st.st_rdev && (fcntl(0, F_GETFL) & O_ACCMODE) == O_RDWR
                            ? 0
                            : 1);
              }),
              "");
    close(extra);
}

}  // namespace
