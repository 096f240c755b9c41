#include <gtest/gtest.h>

#include <bwvutil/paths.h>
#include <bwvutil/ps_utils.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <regex>
#include <string>
#include <tuple>
#include <utility>

#include "platform/core/paths.hpp"
#include "support/bwvtest.hpp"
#include "system/child.hpp"

namespace {

using bwv::sys::ArgVector;
using bwv::test::read_file;
using bwv::test::TempDir;
using Root = bwv::test::BasicFakeRoot<bwv_set_root>;

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
    EXPECT_NE(pids, nullptr) << "an array to free even without a match";
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
    EXPECT_FALSE(found(unique_name("none"), 1, 0));
    int32_t *pids = nullptr;
    size_t count = 7;
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
    ArgVector sh{"sh", "-c", "tr a-z A-Z; echo oops >&2; kill -9 $$"};
    int fds[3];
    pid_t pid = popen3(fds, "sh", sh.get());  // no "/": looked up in the search path
    ASSERT_GT(pid, 0);
    EXPECT_EQ(write(fds[0], "quiet words", 11), 11);
    close(std::exchange(fds[0], -1));
    EXPECT_EQ(read_to_end(fds[1]), "QUIET WORDS");
    EXPECT_EQ(read_to_end(fds[2]), "oops\n");
    EXPECT_EQ(pclose3(pid, fds), SIGKILL);
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

// Writes the first string of the pair to the child, puts its output in the second.
int exchange(execute_cmd_ctx *ctx, int out_fd, int in_fd)
{
    auto *io = static_cast<std::pair<std::string, std::string> *>(ctx->user0);
    ssize_t w = write(in_fd, io->first.data(), io->first.size());
    close(in_fd);
    io->second = read_to_end(out_fd);
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
        {nullptr, "", "<not called>", -1},
    };
    for (const auto &[cmd, input, output, rc] : rows) {
        std::pair<std::string, std::string> io{input, "<not called>"};
        execute_cmd_ctx ctx{&io, nullptr, exchange};
        EXPECT_EQ(execute_cmd(cmd, &ctx), rc) << cmd;
        EXPECT_EQ(io.second, output) << cmd;
    }
    dup2(saved, 0);
    close(saved);
    EXPECT_EQ(getenv("BWV_ASSIGNED"), nullptr) << "the caller's environment changed";
}

const std::string kLog = std::string(bwv::paths::kKextLoadLog).substr(1);

// A fake root with kext tools that record their arguments, environment and stdout and then
// run `tail`, and a kextstat that prints the listing.
struct KextRoot : Root {
    explicit KextRoot(const std::string &tail = "exit 0\n")
    {
        for (std::string tool : {"kextload", "kextunload"})
            script("sbin/" + tool, "printf '%s\\n' \"$@\" > '@ROOT@/" + tool + ".args'\necho \"${BWV_PROBE-unset}\" $(readlink /proc/$$/fd/1) > '@ROOT@/" + tool + ".env'\n" + tail);
        script("usr/sbin/kextstat", "cat '@ROOT@/listing'\n");
        write("listing", "Index Refs Address Size Wired Name (Version) UUID <Linked Against>\n"
                         "140  0 0xffffff7f8 0x9000 0x9000 com.tarvenel.bwv.nke (5.3.1) <7 5 4 3 1>\n");
        mkdirs(kLog.substr(0, kLog.rfind('/')));
    }
    bool logged_first(const std::string &kext) const { return read(kLog).rfind("load " + kext + "\n", 0) == 0; }
};

TEST(KextLoad, ToolGetsIdentifierOrPathWithNothingInheritedAndTheArgumentIsLoggedVerbatim)
{
    int leaked = open("/dev/zero", O_RDONLY);  // no close-on-exec
    KextRoot root("[ -e /proc/$$/fd/" + std::to_string(leaked) + " ] && echo open > '@ROOT@/leaked'\nexit 0\n");
    setenv("BWV_PROBE", "inherited", 1);
    mode_t old = umask(0);
    EXPECT_EQ(ps_load_kext("com.tarvenel.bwv.nke", 1), 0);
    umask(old);
    unsetenv("BWV_PROBE");
    EXPECT_EQ(root.read("kextload.args"), "-b\ncom.tarvenel.bwv.nke\n");
    EXPECT_EQ(root.read("kextload.env"), "unset /dev/null\n");
    EXPECT_FALSE(root.exists("leaked"));
    close(leaked);
    std::string log = root.read(kLog);
    EXPECT_TRUE(std::regex_search(log, std::regex("^load com.tarvenel.bwv.nke\n\\w{3} \\w{3} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d \\S+ \\d{4}\n"))) << log;
    EXPECT_NE(log.find(root.read("listing")), std::string::npos);
    struct stat st {};
    ASSERT_EQ(stat(root.file(kLog).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u) << "whatever the umask";

    std::string hostile = "a\"; touch " + root.file("pwned") + "; echo \"$(id)`id`\\n";
    EXPECT_EQ(ps_load_kext(hostile.c_str(), 0), 0);
    EXPECT_EQ(root.read("kextload.args"), hostile + "\n");
    EXPECT_NE(root.read(kLog).find("\nload " + hostile + "\n"), std::string::npos) << "appended";
    EXPECT_FALSE(root.exists("pwned"));
    EXPECT_EQ(ps_load_kext(std::string(149, 'k').c_str(), 1), 0);
    EXPECT_EQ(root.read(kLog).find("load kkk"), std::string::npos) << "149 bytes never fitted the old command";

    // Past 10,000,000 bytes the log starts afresh.
    ASSERT_EQ(truncate(root.file(kLog).c_str(), 10000000), 0);
    ASSERT_EQ(ps_load_kext(std::string(148, 'k').c_str(), 1), 0);
    EXPECT_FALSE(root.logged_first(std::string(148, 'k')));
    ASSERT_EQ(truncate(root.file(kLog).c_str(), 10000001), 0);
    ASSERT_EQ(ps_load_kext(std::string(148, 'k').c_str(), 1), 0);
    EXPECT_TRUE(root.logged_first(std::string(148, 'k')));
}

TEST(KextUnload, ExitCodeIsPassedOnDeathBySignalGivesTwoAndLoadingStillLogs)
{
    const std::pair<const char *, int> rows[] = {{"exit 0\n", 0}, {"exit 3\n", 3}, {"kill -9 $$\n", 2}};
    for (const auto &[tail, code] : rows) {
        KextRoot root(tail);
        EXPECT_EQ(ps_unload_kext("/L/E/x.kext", 0), code) << tail;
        EXPECT_EQ(root.read("kextunload.args"), "/L/E/x.kext\n");
        EXPECT_FALSE(root.exists(kLog)) << "unloading writes no log";
        EXPECT_EQ(ps_load_kext("com.x", 1), 0) << tail;
        EXPECT_TRUE(root.logged_first("com.x"));
    }
    Root empty;
    EXPECT_EQ(ps_unload_kext("com.x", 1), 1) << "a tool that cannot be executed exits 1";
}

TEST(KextIsRun, NameIsSearchedAsFixedTextInTheListing)
{
    KextRoot root;
    std::string hostile = "x; touch " + root.file("pwned") + " #";
    const std::pair<const char *, int> rows[] = {
        {"com.tarvenel.bwv.nke", 1}, {"com.tarvenel.bwv", 1},   {"com.tarvenel.other", 0},
        {"com.tarvenel.bwv.nk.", 0}, {hostile.c_str(), 0}, {"", 0}, {nullptr, 0}};
    for (const auto &[name, running] : rows)
        EXPECT_EQ(ps_kext_is_run(name), running) << (name ? name : "null");
    EXPECT_FALSE(root.exists("pwned"));
    root.write("usr/sbin/kextstat", "echo ' 140 0 0x1 com.tarvenel.bwv.nke (5.3.1)'\n", 0755);
    EXPECT_EQ(ps_kext_is_run("com.tarvenel.bwv.nke"), 1) << "a script without \"#!\" is run by the shell";
}

// A fake root whose installer records its arguments and keeps what it was given.
struct InstallRoot : Root {
    InstallRoot()
    {
        script("usr/sbin/installer", "printf '%s\\n' \"$@\" > '@ROOT@/installer.args'\n"
                                     "stat -c %a \"$2\" > '@ROOT@/mode'\ncat \"$2\" > '@ROOT@/installed'\n");
        mkdirs("tmp");
    }
    std::string package(const std::string &name, size_t len, const char *magic = "xar!")
    {
        return write(name, magic + bwv::test::read_file("/bin/sh").substr(0, len - 4));
    }
};

TEST(InstallPkg, OnlyFlatPackagesAreCopiedWholeForTheInstallerAndTheCopyIsRemoved)
{
    InstallRoot root;
    root.write("victim", "precious");
    // A link planted at the fixed name is replaced, not followed.
    ASSERT_EQ(symlink(root.file("victim").c_str(), root.file("tmp/bwv_upgrade.pkg").c_str()), 0);
    for (size_t len : {4097u, 4096u, 4u, 20000u}) {
        ASSERT_EQ(ps_install_pkg_file(root.package("in.pkg", len).c_str()), 0);
        EXPECT_TRUE(root.read("installed") == root.read("in.pkg")) << len;
        EXPECT_EQ(root.read("installer.args"), "-pkg\n" + root.file("tmp/bwv_upgrade.pkg") + "\n-target\n/\n");
        EXPECT_EQ(root.read("mode"), "600\n") << "readable by its owner alone";
        EXPECT_FALSE(root.exists("tmp/bwv_upgrade.pkg"));
    }
    EXPECT_EQ(root.read("victim"), "precious");
    unlink(root.file("installer.args").c_str());
    // Not flat, too short, missing, a folder; then no place for the copy.
    for (const std::string &pkg : {root.package("bad.pkg", 4096, "xar?"), root.write("short.pkg", "xa"),
                                   root.file("missing.pkg"), root.path(), std::string()})
        EXPECT_EQ(ps_install_pkg_file(pkg.c_str()), -1) << pkg;
    EXPECT_EQ(ps_install_pkg_file(nullptr), -1);
    rmdir(root.file("tmp").c_str());
    EXPECT_EQ(ps_install_pkg_file(root.file("in.pkg").c_str()), -1);
    EXPECT_FALSE(root.exists("installer.args"));
}

}  // namespace
