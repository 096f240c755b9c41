#include <gtest/gtest.h>

#include <bwvutil/bwvc.h>
#include <bwvutil/paths.h>
#include <bwvutil/ps_utils.h>
#include <bwvutil/verify.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <tuple>

#include "lib/core/paths.hpp"
#include "support/bwvtest.hpp"
#include "lib/system/child.hpp"

namespace {

using bwv::sys::ArgVector;
using bwv::test::read_file;
using bwv::test::TempDir;
using Root = bwv::test::BasicFakeRoot<bwv_set_root>;

// The rows of name.txt beside this test, fields split at tabs: \n, \t, \0 and \\ stand as in C,
// \{N} for N copies of the next character, @X for named['X'] or the text a line "=X text" named;
// # starts a comment.
std::vector<std::vector<std::string>> rows_of(const std::string &name, std::size_t count,
                                              std::map<char, std::string> named = {}) {
    std::vector<std::vector<std::string>> rows;
    for (const std::string &line : bwv::test::lines(read_file(BWV_SYSTEM_DATA "/" + name + ".txt"))) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> row(1);
        for (std::size_t i = line[0] == '=' ? 3 : 0, n = 1; i < line.size(); ++i) {
            const char c = line[i];
            if (c == '\t') {
                row.emplace_back();
            } else if (c == '@') {
                row.back() += named.at(line[++i]);
            } else if (line.compare(i, 2, "\\{") == 0) {
                n = std::stoul(line.substr(i + 2)), i = line.find('}', i);
            } else {
                const char e = c == '\\' ? std::string("\n\t\0\\", 4).at(std::string("nt0\\").find(line[++i])) : c;
                row.back().append(std::exchange(n, 1), e);
            }
        }
        if (line[0] == '=') named[line[1]] = row[0];
        if (line[0] != '=') rows.push_back(row);
    }
    EXPECT_EQ(rows.size(), count) << name;
    return rows;
}

// A copy of sleep(1) at `exe`, running until the test ends. glibc's posix_spawn returns
// once the exec is done, so the process table already shows the copy.
struct Running {
    explicit Running(const std::string &exe, bool ignore_term = false) {
        std::filesystem::copy_file("/bin/sleep", exe);
        auto old = signal(SIGTERM, ignore_term ? SIG_IGN : SIG_DFL);  // an ignored signal stays so across exec
        EXPECT_EQ(posix_spawn(&pid, exe.c_str(), nullptr, nullptr, ArgVector{exe, "1000"}.get(), environ), 0);
        signal(SIGTERM, old);
    }
    ~Running() {
        if (pid > 0 && kill(pid, SIGKILL) == 0) finish();
    }
    int finish() {
        int status = -1;
        waitpid(std::exchange(pid, -1), &status, 0);
        return status;
    }
    pid_t pid = -1;
};

bool found(const std::string &name, int case_sensitive, pid_t pid) {
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

// The agent's file is replaced while it runs, as an upgrade moves a new file over it: the
// kernel then adds " (deleted)" to its path, and it still runs under its name.
TEST(Processes, FoundByAnyTailOfTheirPathInTheCaseAskedAlsoOnceReplacedAndKilledPolitelyFirst) {
    TempDir dir("bwvsys");
    std::string own = unique_name("lk"), exe = dir.file("BrindleWaveAgent");
    Running agent(exe), shouting(dir.file("BRINDLEWAVEAGENT")), unique(dir.file(own));
    std::filesystem::copy_file("/bin/sleep", dir.file("new"));
    ASSERT_EQ(rename(dir.file("new").c_str(), exe.c_str()), 0);
    for (const auto &row : rows_of("processes", 4, {{'E', exe}})) {
        const int case_sensitive = std::stoi(row[1]);
        EXPECT_EQ(found(row[0], case_sensitive, agent.pid), row[2] == "1") << row[0] << case_sensitive;
        EXPECT_EQ(found(row[0], case_sensitive, shouting.pid), row[3] == "1") << row[0] << case_sensitive;
    }
    EXPECT_EQ(ps_get_pid(own.substr(2).c_str()), unique.pid);
    for (const std::string &none : {unique_name("none"), std::string(PATH_MAX + 10, 'x'), std::string()})
        EXPECT_EQ(ps_get_pid(none.c_str()), 0);
    int32_t *pids = nullptr;
    size_t count = 7;
    EXPECT_EQ(ps_get_pid_all(nullptr, 1, &pids, &count), -1);

    char path[4096];
    ASSERT_EQ(ps_get_path(agent.pid, path, sizeof path), 0);
    EXPECT_EQ(path, exe + " (deleted)");
    EXPECT_EQ(ps_get_path(agent.pid, nullptr, 10), -1);
    EXPECT_EQ(ps_get_path(agent.pid, path, 0), -1);
    EXPECT_EQ(ps_get_path(INT_MAX, path, sizeof path), -2);

    // SIGTERM first, and SIGKILL for a process still there a second later.
    std::string polite_name = unique_name("term"), stubborn_name = unique_name("stub");
    Running polite(dir.file(polite_name)), stubborn(dir.file(stubborn_name), true);
    EXPECT_EQ(ps_safe_kill(polite_name.c_str()), 0);
    EXPECT_EQ(ps_safe_kill(stubborn_name.c_str()), 0);
    EXPECT_EQ(WTERMSIG(polite.finish()), SIGTERM);
    EXPECT_EQ(WTERMSIG(stubborn.finish()), SIGKILL);
}

TEST(PidFile, DigitsAndOneNulAreWrittenAndTheFirstNumberIsRead) {
    TempDir dir;
    std::string file = dir.write("agent.pid", "1234567890123456789 and more");
    ASSERT_EQ(ps_write_pid_to_file(file.c_str()), 0);
    EXPECT_EQ(dir.read("agent.pid"), std::to_string(getpid()) + '\0');
    EXPECT_EQ(ps_get_pid_from_file(file.c_str()), getpid());
    for (const auto &row : rows_of("pid_files", 4))
        EXPECT_EQ(ps_get_pid_from_file(dir.write("read.pid", row[0]).c_str()), std::stoi(row[1])) << row[0];
    EXPECT_EQ(ps_get_pid_from_file(dir.file("missing").c_str()), 0);
    EXPECT_EQ(ps_get_pid_from_file(nullptr), -1);
    std::string unwritable = dir.file("no/such/x.pid");
    for (const char *path : {unwritable.c_str(), static_cast<const char *>(nullptr), "/dev/full"})
        EXPECT_EQ(ps_write_pid_to_file(path), -1);
}

std::string read_to_end(int fd) { return read_file("/proc/self/fd/" + std::to_string(fd)); }

std::string text(dbuf *b) { return std::string(static_cast<char *>(dbuf_data(b)), dbuf_len(b)); }

TEST(Popen3, ChildTalksOverThreePipesAndItsStatusComesBackUndecoded) {
    ArgVector sh{"sh", "-c", "tr a-z A-Z; echo oops >&2; kill -9 $$"};
    int fds[3];
    pid_t pid = popen3(fds, "sh", sh.get());  // no "/": looked up in the search path
    ASSERT_GT(pid, 0);
    EXPECT_EQ(write(fds[0], "quiet words", 11), 11);
    close(std::exchange(fds[0], -1));
    EXPECT_EQ(read_to_end(fds[1]), "QUIET WORDS");
    EXPECT_EQ(read_to_end(fds[2]), "oops\n");
    EXPECT_EQ(pclose3(pid, fds), SIGKILL);
    EXPECT_EQ(pclose3(popen3(fds, "true", ArgVector{"true"}.get()), fds), 0) << "a clean exit is no failure";
}

TEST(RunTool, BothStreamsAreDrainedAtOnceIntoOneBufferOrTwoAndTheResultIgnoresTheToolsStatus) {
    // Each stream alone overfills a pipe, so reading one to its end first would hang; the
    // streams are this test program and the shell.
    TempDir dir;
    const std::string out = read_file("/proc/self/exe"), err = read_file("/bin/sh");
    ArgVector tool{
        dir.script("tool", "cat /bin/sh >&2; cat /proc/" + std::to_string(getpid()) + "/exe; cat /bin/sh >&2\n")};
    dbuf *o = dbuf_create(), *e = dbuf_create(), *both = dbuf_create();
    // Bytes the caller already consumed are reclaimed by the first piece.
    ASSERT_EQ(dbuf_write(o, "abcdef", 6), 0);
    dbuf_read(o, nullptr, 4);
    ASSERT_EQ(ps_runtool(tool.get(), o, e), 0);
    EXPECT_TRUE(text(o) == "ef" + out);
    EXPECT_TRUE(text(e) == err + err);
    EXPECT_EQ(ps_runtool(tool.get(), nullptr, nullptr), 0) << "read and dropped";
    // One buffer for both streams: the error byte arrives once the buffer is large.
    ArgVector burst{dir.script("burst", "head -c 200000 /bin/sh; printf E >&2; tail -c +200001 /bin/sh\n")};
    ASSERT_EQ(ps_runtool(burst.get(), both, both), 0);
    // Where the error byte lands is not known: at the first byte that differs from the shell.
    std::string got = text(both);
    const auto at = std::mismatch(err.begin(), err.end(), got.begin(), got.end()).second - got.begin();
    EXPECT_TRUE(got.size() == err.size() + 1 && got[at] == 'E' && got.erase(at, 1) == err);
    for (dbuf *b : {o, e, both}) dbuf_destroy(b);

    // The result is about starting and reading, not the tool's status.
    ArgVector missing{dir.file("absent")}, plain{dir.write("plain.txt", "not a program")},
        three{"/bin/sh", "-c", "exit 3"}, none(std::vector<std::string>{});
    const std::pair<char *const *, int> rows[] = {
        {missing.get(), -8}, {plain.get(), 0}, {three.get(), 0}, {none.get(), -1}, {nullptr, -1}};
    for (const auto &[argv, rc] : rows)
        EXPECT_EQ(ps_runtool(argv, nullptr, nullptr), rc) << (argv && argv[0] ? argv[0] : "null");
}

// The handler writes `in` (when given), closes it and reads the whole output; with swap,
// another file takes the numbers of both its descriptors instead.
struct Io {
    const char *in;
    bool swap;
    int fds[2] = {-1, -1};
    std::string out = "-";
};
int handler(execute_cmd_ctx *ctx, int out_fd, int in_fd) {
    auto *io = static_cast<Io *>(ctx->user0);
    io->fds[0] = out_fd, io->fds[1] = in_fd;
    if (io->swap) dup2(0, out_fd), dup2(0, in_fd);
    if (!io->in) return 0;
    EXPECT_EQ(write(in_fd, io->in, strlen(io->in)), static_cast<ssize_t>(strlen(io->in)));
    close(in_fd);
    io->out = read_to_end(out_fd);
    return 0;
}

// Rows in execute_cmd.txt.
TEST(ExecuteCmd, LineIsExpandedInTheChildAndTheHandlersLeftoversCloseAtOnceButOnlyIfStillItsOwn) {
    ASSERT_NE(freopen("/bin/sh", "r", stdin), nullptr);  // other bytes than the handler's input
    for (const auto &row : rows_of("execute_cmd", 11)) {
        const char *cmd = row[0] == "-" ? nullptr : row[0].c_str(), *in = row[1] == "-" ? nullptr : row[1].c_str();
        std::string got = bwv::test::in_fresh_process([&] {
            alarm(20);
            Io io{in, row[2] == "swap"};
            execute_cmd_ctx ctx{&io, nullptr, handler};
            std::string rc = std::to_string(execute_cmd(cmd, &ctx)) + "\t";
            for (int fd : io.fds) rc += fcntl(fd, F_GETFD) < 0 ? "c" : "k";
            return io.out + "\t" + rc + (getenv("BWV_ASSIGNED") ? "!" : "");
        });
        EXPECT_TRUE(got == row[3] + "\t" + row[4] + "\t" + row[5]) << row[0] << ": " << got.substr(0, 80);
    }
}

// A bare name is the file in the working directory that was checked, never one in PATH.
TEST(RunTool, TheFileCheckedIsTheFileRun) {
    TempDir dir;
    dir.script("tool", "echo checked\n");
    dir.script("bin/tool", "echo other\n");
    EXPECT_EQ(bwv::test::in_fresh_process([&] {
                  dbuf *out = dbuf_create();
                  setenv("PATH", dir.file("bin").c_str(), 1);
                  int rc = chdir(dir.path().c_str()) == 0 ? ps_runtool(ArgVector{"tool"}.get(), out, nullptr) : -99;
                  std::string got = std::to_string(rc) + " " + text(out);
                  dbuf_destroy(out);
                  return got;
              }),
              "0 checked\n");
}

// Test process is made the reaper of orphans, so it can tell how a grandchild ended.
TEST(Launch, ChildStartsCleanInItsOwnGroupAndDiesWithItsStarterOrAtItsDeadline) {
    namespace launch = bwv::launch;
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    auto ran = [](launch::Command command, launch::milliseconds deadline = {},
                  std::optional<std::string_view> in = {}) {
        std::string out;
        launch::Run how;
        how.out = launch::capture(out), how.deadline = deadline, how.input = in;
        errno = EINTR;  // left over from an earlier call, which the run must not take for its own
        launch::Result r = launch::run(command, how);
        return std::to_string(r.timed_out ? -SIGKILL : WEXITSTATUS(r.status)) + " " + out;
    };
    // Light mode ignores SIGTERM; a blocked signal and a descriptor without close-on-exec stay
    // the caller's own. (No pipeline in the shell: its pipe would show among its descriptors.)
    auto old = signal(SIGTERM, SIG_IGN);
    sigset_t usr, was;
    sigemptyset(&usr), sigaddset(&usr, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &usr, &was);
    int stray = dup(2);
    ArgVector status{"sh", "-c",
                     "grep -E '^Sig(Ign|Blk)' /proc/self/status; ls /proc/$$/fd; "
                     "read -r _ _ _ _ group _ </proc/$$/stat; [ $group = $$ ] && echo leader"};
    EXPECT_EQ(ran({.argv = status.get(), .search_path = true}),
              "0 SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n0\n1\n2\nleader\n");
    close(stray), pthread_sigmask(SIG_SETMASK, &was, nullptr), signal(SIGTERM, old);

    // At the deadline the whole group goes: the tool and what it started.
    ArgVector slow{"/bin/sh", "-c", "sleep 60 & echo $!; wait"}, counted{"/bin/sh", "-c", "wc -c; exit 3"};
    std::string killed = ran({.argv = slow.get()}, launch::milliseconds(300));
    EXPECT_EQ(killed.substr(0, 3), "-9 ");
    int st = 0;
    EXPECT_EQ(waitpid(std::stoi(killed.substr(3)), &st, 0) > 0 && WIFSIGNALED(st) ? WTERMSIG(st) : 0, SIGKILL);
    // Before the deadline the status comes back, and input beyond a pipe's capacity arrives whole, then ends.
    EXPECT_EQ(ran({.argv = counted.get()}, std::chrono::minutes(1), std::string(200000, 'x')), "3 200000\n");

    // A fake installer starts a slow tool and ends at once, running no code of its own as when it
    // is killed: the tool does not outlive it.
    ArgVector sleeper{"/bin/sleep", "60"};
    const pid_t tool = std::stoi(
        bwv::test::in_fresh_process([&] { return std::to_string(launch::spawn({.argv = sleeper.get()}).pid); }));
    EXPECT_EQ(waitpid(tool, &st, 0) == tool && WIFSIGNALED(st) ? WTERMSIG(st) : 0, SIGKILL);
    prctl(PR_SET_CHILD_SUBREAPER, 0);
}

const std::string kLog = std::string(bwv::paths::kKextLoadLog).substr(1),
                  kListing = BWV_SYSTEM_DATA "/kextstat_listing.txt";

// A fake root with kext tools that record their arguments, then a variable of the caller's
// environment and their standard output, and then run `tail`; and a kextstat that prints the
// listing in kextstat_listing.txt.
struct KextRoot : Root {
    explicit KextRoot(const std::string &tail = "exit 0\n") {
        for (std::string tool : {"kextload", "kextunload"})
            script("sbin/" + tool, "printf '%s\\n' \"$@\" \"${BWV_PROBE-unset}\" $(readlink /proc/$$/fd/1) > '@ROOT@/" +
                                       tool + ".args'\n" + tail);
        script("usr/sbin/kextstat", "cat '" + kListing + "'\n");
        mkdirs(kLog.substr(0, kLog.rfind('/')));
    }
    bool logged_first(const std::string &kext) const { return read(kLog).rfind("load " + kext + "\n", 0) == 0; }
};

TEST(KextLoad, ToolGetsTheArgumentWithNothingInheritedItIsLoggedVerbatimWithTheListingThatAnswersIsRun) {
    int leaked = open("/dev/zero", O_RDONLY);  // no close-on-exec
    KextRoot root("[ -e /proc/$$/fd/" + std::to_string(leaked) + " ] && echo open > '@ROOT@/leaked'\nexit 0\n");
    setenv("BWV_PROBE", "inherited", 1);
    mode_t old = umask(0);
    EXPECT_EQ(ps_load_kext("com.tarvenel.bwv.nke", 1), 0);
    umask(old);
    unsetenv("BWV_PROBE");
    EXPECT_EQ(root.read("kextload.args"), "-b\ncom.tarvenel.bwv.nke\nunset\n/dev/null\n");
    EXPECT_FALSE(root.exists("leaked"));
    close(leaked);
    std::string log = root.read(kLog);
    EXPECT_TRUE(std::regex_search(
        log, std::regex("^load com.tarvenel.bwv.nke\n\\w{3} \\w{3} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d \\S+ \\d{4}\n")))
        << log;
    EXPECT_NE(log.find(read_file(kListing)), std::string::npos);
    for (const auto &row : rows_of("kext_is_run", 7, {{'P', root.file("pwned")}}))
        EXPECT_EQ(ps_kext_is_run(row[0] == "-" ? nullptr : row[0].c_str()), std::stoi(row[1])) << row[0];
    EXPECT_EQ(std::filesystem::status(root.file(kLog)).permissions(), std::filesystem::perms(0644))
        << "whatever the umask";

    std::string hostile = "a\"; touch " + root.file("pwned") + "; echo \"$(id)`id`\\n";
    EXPECT_EQ(ps_load_kext(hostile.c_str(), 0), 0);
    EXPECT_EQ(root.read("kextload.args"), hostile + "\nunset\n/dev/null\n");
    EXPECT_NE(root.read(kLog).find("\nload " + hostile + "\n"), std::string::npos) << "appended";
    EXPECT_FALSE(root.exists("pwned"));
    EXPECT_EQ(ps_load_kext(std::string(149, 'k').c_str(), 1), 0);
    EXPECT_EQ(root.read(kLog).find("load kkk"), std::string::npos) << "149 bytes never fitted the old command";

    // Past 10,000,000 bytes the log starts afresh.
    for (off_t size : {10000000, 10000001}) {
        ASSERT_EQ(truncate(root.file(kLog).c_str(), size), 0);
        ASSERT_EQ(ps_load_kext(std::string(148, 'k').c_str(), 1), 0);
        EXPECT_EQ(root.logged_first(std::string(148, 'k')), size > 10000000) << size;
    }
}

TEST(KextUnload, ExitCodeIsPassedOnDeathBySignalGivesTwoAndLoadingStillLogs) {
    const std::pair<const char *, int> rows[] = {{"exit 0\n", 0}, {"exit 3\n", 3}, {"kill -9 $$\n", 2}};
    for (const auto &[tail, code] : rows) {
        KextRoot root(tail);
        EXPECT_EQ(ps_unload_kext("/L/E/x.kext", 0), code) << tail;
        EXPECT_EQ(root.read("kextunload.args"), "/L/E/x.kext\nunset\n/dev/null\n");
        EXPECT_EQ(ps_load_kext("com.x", 1), 0) << tail;
        EXPECT_TRUE(root.logged_first("com.x"));
    }
}

// A fake root whose pkgutil records its arguments and prints the report file.
struct PkgutilRoot : Root {
    PkgutilRoot() {
        script("usr/sbin/pkgutil", "printf '%s\\n' \"$@\" > '@ROOT@/args'\ncat '@ROOT@/report'\nexit 1\n");
    }
    int verify(const std::string &report, const char *pkg = "/pkgs/Install.mpkg") {
        write("report", report);
        unlink(file("args").c_str());
        return verifyPackage(pkg);
    }
};

// Rows in pkgutil_reports.txt.
TEST(VerifyPackage, OnlyTheStatusLineAndTheSignersEntryCount) {
    PkgutilRoot root;
    for (const auto &row : rows_of("pkgutil_reports", 17)) EXPECT_EQ(root.verify(row[1]), row[0] == "1") << row[1];
}

TEST(VerifyPackage, PathReachesTheToolAsOneArgumentUnlessTooLongForTheOldCommandLine) {
    PkgutilRoot root;
    const std::string trusted = rows_of("pkgutil_reports", 17)[0][1];
    std::string hostile = "/pkgs/a \"b\" $(touch " + root.file("pwned") + ") `touch " + root.file("pwned") +
                          "`; touch " + root.file("pwned") + " & 'q' \\ $HOME *";
    std::string fits = "/" + std::string(984, 'p');  // 38 bytes of command around it, 1,023 at most
    for (const std::string &path : {hostile, fits, fits + "p", std::string()}) {
        bool asked = path != fits + "p";
        EXPECT_EQ(root.verify(trusted, path.c_str()), asked) << path;
        EXPECT_EQ(root.read("args"), asked ? "--check-signature\n" + path + "\n" : "");
    }
    EXPECT_FALSE(root.exists("pwned"));
    EXPECT_EQ(verifyPackage(nullptr), 0);
}

// A fake root whose console device belongs to uid (-1: there is none).
struct ConsoleRoot : Root {
    explicit ConsoleRoot(long uid) {
        if (uid >= 0 && chown(write("dev/console", "").c_str(), static_cast<uid_t>(uid), -1) != 0)
            ADD_FAILURE() << "cannot hand the console over";
    }
};

TEST(ConsoleUser, OwnerOfTheConsoleDecidesTheSupportFolderAndTheDocumentsCheck) {
    if (geteuid() != 0) GTEST_SKIP() << "handing the console to another user needs root";
    const uid_t unknown = 3999999999;                  // no user's
    const struct passwd *nobody = getpwnam("nobody");  // whose home does not exist
    ASSERT_NE(nobody, nullptr);
    EXPECT_EQ(bwvc_get_cur_support_dir(nullptr, 10), -1);
    // console owner (-1: no console), support folder ("": refused), Documents check
    const std::string support(bwv::paths::kSupportDir);
    const std::tuple<long, std::string, int> rows[] = {
        {unknown, "none" + support, -2}, {nobody->pw_uid, nobody->pw_dir + support, -3}, {0, "", -1}, {-1, "", -1}};
    for (const auto &[owner, folder, access] : rows) {
        ConsoleRoot root(owner);
        EXPECT_EQ(bwvc_get_cur_uid(), owner < 0 ? 0u : static_cast<uint32_t>(owner));
        char buf[512] = "", ten[10] = "";
        EXPECT_EQ(bwvc_get_cur_support_dir(buf, sizeof buf), folder.empty() ? -1 : 0);
        EXPECT_EQ(buf, folder);
        bwvc_get_cur_support_dir(ten, sizeof ten);
        EXPECT_EQ(ten, folder.substr(0, 9)) << "cut to the buffer";
        for (auto get : {bwvc_get_cur_support_dir, bwvc_get_support_dir, bwvc_get_user_dir, bwvc_get_preference_path})
            EXPECT_EQ(get(ten, 1) == 0 && ten[0] == '\0', !folder.empty() || get != bwvc_get_cur_support_dir)
                << "one byte: the empty text";
        EXPECT_EQ(bwvc_check_user_file_accessibility(), access) << owner;
    }
}

TEST(ClientKind, VpnOnlyWhenTheToolFolderHoldsNoFullClientToolAndTrustFollowsItsMarker) {
    Root root;
    EXPECT_EQ(is_vpn_client(), 0) << "no tool folder";
    std::string bin = root.mkdirs(std::string(bwv::paths::kBinDir).substr(1));
    EXPECT_EQ(is_vpn_client(), 1);
    for (const auto &tool : rows_of("full_client_tools", 7)) {
        bwv::test::write_file(bin + "/" + tool[0], "");
        EXPECT_EQ(is_vpn_client(), 0) << tool[0];
        unlink((bin + "/" + tool[0]).c_str());
    }
    EXPECT_EQ(bwvc_external_cert_trust(), 0);
    root.write(std::string(bwv::paths::kCertTrustMarker).substr(1), "");
    EXPECT_EQ(bwvc_external_cert_trust(), 1);
}

TEST(BinToHex, UpperCaseDigitsWithoutTerminatorAlsoInPlace) {
    char buf[9] = "\x00\xAB\x7F#####";
    auto *in = reinterpret_cast<unsigned char *>(buf);
    bin_to_hex(in, buf, 3);  // in place
    bin_to_hex(in, buf, 0);
    bin_to_hex(nullptr, buf, 3);
    bin_to_hex(in, nullptr, 3);
    EXPECT_EQ(std::string(buf, 8), "00AB7F##");
}

// What a front end whose socket listens as `listener` receives of a notice to the
// console's owner, and whether it came from the sender's own path (where a stale file
// lay), gone afterwards; "" when the connection is cut without a word.
std::string notice_seen_by(uid_t listener, uid_t console, const std::string &text) {
    ConsoleRoot root(console);
    chmod(root.path().c_str(), 0755);
    chmod(root.mkdirs("tmp").c_str(), 01777);
    const std::string own = root.write("tmp/3f9c1e7a2d4b68e0c5a19f72b3d8e641_" + std::to_string(console), "stale"),
                      gui = root.file("tmp/a72e5c09d1f43b86e2c7a5d90b1f3e28_" + std::to_string(console));
    sockaddr_un addr{AF_UNIX, {}};
    strncpy(addr.sun_path, gui.c_str(), sizeof addr.sun_path - 1);
    // The socket listens with the credentials of the child that called listen().
    int fd = socket(AF_UNIX, SOCK_STREAM, 0), status = -1;
    if (fork() == 0)
        _exit((listener != geteuid() && (setgid(listener) != 0 || setuid(listener) != 0)) ||
              bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(fd, 1) != 0);
    if (wait(&status) < 0 || status != 0) return "no listener";
    bwvc_SendInfotoGUI(text.c_str());
    socklen_t len = sizeof addr;
    int c = accept(fd, reinterpret_cast<sockaddr *>(&addr), &len);  // waiting in the backlog
    std::string got(8192, '\0');
    got.resize(static_cast<size_t>(std::max(recv(c, got.data(), got.size(), MSG_WAITALL), 0l)));
    close(c), close(fd);
    return got + (addr.sun_path == own ? "" : " from elsewhere") + (bwv::test::exists(own) ? " left behind" : "");
}

// Each row is a fault once seen, or beside it the honest case; each runs in a child with a
// deadline, so that a hang or a signal fails its row, not the run.
TEST(SystemFaults, EachAnswersAsItsContractSaysAndTouchesNothingOfAnotherAccount) {
    const uid_t other = 65534, console = geteuid() ? geteuid() : 3999999998;
    const std::string note = std::string("first notice") + '\0', cut = std::string(4095, 'n') + '\0';
    // The kext tool stand-in as found by the library loaded through a relative path from the
    // build folder, the working folder changed afterwards. (Through a full path: test_paths.)
    auto tools_found = [] {
        void *lib = chdir(BWV_BINARY_DIR) == 0 ? dlopen("./lib/libbwvutil.so", RTLD_NOW | RTLD_LOCAL) : nullptr;
        auto *is_run = lib ? reinterpret_cast<int (*)(const char *)>(dlsym(lib, "ps_kext_is_run")) : nullptr;
        return is_run && chdir("/") == 0 ? std::to_string(is_run("com.apple.kpi.bsd")) : std::string("not loaded");
    };
    auto path_into = [](int size) {
        char buf[PATH_MAX] = "#";
        int rc = ps_get_path(getpid(), buf, size);
        return std::to_string(rc) + " " + std::to_string(strlen(buf));
    };
    // Installs a package of `content` ("/": a folder) after the shell line `make`, run in the
    // root, put an entry at the copy's fixed name: the result, what the installer got ("whole": the package, under
    // the fixed name, owner-only), and what the entry holds afterwards ("-": gone).
    using Call = std::function<std::string()>;
    auto install = [](const std::string &content, const std::string &make = {}) -> Call {
        return [=] {
            Root root;
            root.script("usr/sbin/installer",
                        "{ printf '%s|' \"$@\" $(stat -c %a \"$2\"); cat \"$2\"; } > '@ROOT@/got'\n");
            const std::string entry = root.mkdirs("tmp") + "/bwv_upgrade.pkg",
                              sent = "-pkg|" + entry + "|-target|/|600|" + content;
            if (!make.empty()) bwv::test::run({"sh", "-c", make}, {}, {}, root.path());
            int rc = ps_install_pkg_file(content == "/" ? root.path().c_str() : root.write("in.pkg", content).c_str());
            std::string got = !root.exists("got") ? "-" : root.read("got") == sent ? "whole" : "torn";
            std::string left = !root.exists("tmp/bwv_upgrade.pkg")    ? "-"
                               : std::filesystem::is_directory(entry) ? "dir"
                                                                      : read_file(entry);
            return std::to_string(rc) + " " + got + " " + left;
        };
    };
    // closeall in a child: how many of the standard three it left on /dev/null, twice, plus
    // one if a descriptor held before is shut.
    auto closeall_in_child = [] {
        int held = dup(2), status = -1;
        if (fork() == 0) {
            closeall();
            struct stat null {
            }, st{};
            int on_null = stat("/dev/null", &null) != 0 ? 9 : 0;
            for (int fd = 0; fd < 3; ++fd) on_null += fstat(fd, &st) == 0 && st.st_rdev == null.st_rdev;
            _exit(on_null * 2 + (fcntl(held, F_GETFD) < 0));
        }
        return wait(&status) > 0 && WIFEXITED(status) ? std::to_string(WEXITSTATUS(status)) : "killed";
    };
    const std::string sh = read_file("/bin/sh");
    auto as_root = [](const Call &call, const std::string &want) -> Call {
        return [=] { return geteuid() ? want : call(); };
    };
    const struct {
        const char *what;
        std::function<std::string()> call;
        std::string want;
    } rows[] = {
        {"tools of a library loaded through a relative path", tools_found, "1"},
        {"process path into a buffer of one byte", [&] { return path_into(1); }, "0 0"},
        {"  of four", [&] { return path_into(4); }, "0 3"},
        {"flat package of 4 bytes", install("xar!"), "0 whole -"},
        {"  of 4,096", install("xar!" + sh.substr(0, 4092)), "0 whole -"},
        {"  of 4,097", install("xar!" + sh.substr(0, 4093)), "0 whole -"},
        {"not flat", install("xar?" + std::string(4092, 'x')), "-1 - -"},
        {"  too short to tell", install("xa"), "-1 - -"},
        {"  a folder", install("/"), "-1 - -"},
        {"no package", [] { return std::to_string(ps_install_pkg_file(nullptr)); }, "-1"},
        {"  none at the path", [] { return std::to_string(ps_install_pkg_file("/nonexistent/x.pkg")); }, "-1"},
        {"no folder for the copy", install("xar!", "rmdir tmp"), "-1 - -"},
        {"package copy over another account's file",
         as_root(install("xar!", "printf theirs >tmp/bwv_upgrade.pkg; chown 65534:65534 tmp/bwv_upgrade.pkg"),
                 "-1 - theirs"),
         "-1 - theirs"},
        {"  over a link", install("xar!", "printf precious >victim; ln -s \"$(pwd)/victim\" tmp/bwv_upgrade.pkg"),
         "-1 - precious"},
        {"  over a folder", install("xar!", "mkdir tmp/bwv_upgrade.pkg"), "-1 - dir"},
        {"  over a stale copy of our own", install("xar!", "printf old >tmp/bwv_upgrade.pkg"), "0 whole -"},
        {"notice to another account's socket", as_root([&] { return notice_seen_by(other, console, "x"); }, ""), ""},
        {"  to the console user's", [&] { return notice_seen_by(console, console, "first notice"); }, note},
        {"  to root's, cut to 4,095 bytes",
         as_root([&] { return notice_seen_by(0, console, std::string(5000, 'n')); }, cut), cut},
        {"closeall: the standard three on /dev/null, the rest shut", closeall_in_child, "7"},
    };
    for (const auto &row : rows)
        EXPECT_EQ(bwv::test::in_fresh_process([&] {
                      alarm(20);
                      return row.call();
                  }),
                  row.want)
            << row.what;
}

}  // namespace
