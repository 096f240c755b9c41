#include <gtest/gtest.h>

#include <bwvutil/ps_utils.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "pattern.hpp"
#include "sys_support.hpp"

namespace {

using bwv::test::TempRoot;

struct Argv {
    explicit Argv(std::vector<std::string> a) : args(std::move(a))
    {
        for (auto &s : args)
            ptrs.push_back(s.data());
        ptrs.push_back(nullptr);
    }
    char *const *get() { return ptrs.data(); }
    std::vector<std::string> args;
    std::vector<char *> ptrs;
};

std::string helper() { return BWV_SYSTEM_CHILD; }

std::string read_to_end(int fd)
{
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        out.append(buf, static_cast<size_t>(n));
    return out;
}

struct Buffers {
    Buffers() : out(dbuf_create()), err(dbuf_create()) {}
    ~Buffers()
    {
        dbuf_destroy(out);
        dbuf_destroy(err);
    }
    static std::string text(dbuf *b) { return std::string(static_cast<char *>(dbuf_data(b)), dbuf_len(b)); }
    dbuf *out;
    dbuf *err;
};

::testing::AssertionResult is_pattern(const std::string &got, int stream, size_t expected_len)
{
    if (got.size() != expected_len)
        return ::testing::AssertionFailure() << "length " << got.size() << ", expected " << expected_len;
    for (size_t i = 0; i < got.size(); ++i) {
        if (static_cast<unsigned char>(got[i]) != bwv::test::pattern_byte(stream, i))
            return ::testing::AssertionFailure() << "byte " << i << " out of place";
    }
    return ::testing::AssertionSuccess();
}

TEST(Popen3, ChildTalksOverThreePipesAndItsStatusComesBackUndecoded)
{
    Argv upper({helper(), "upper"});
    int fds[3];
    pid_t pid = popen3(fds, helper().c_str(), upper.get());
    ASSERT_GT(pid, 0);
    ASSERT_EQ(write(fds[0], "quiet words", 11), 11);
    close(fds[0]);
    fds[0] = -1;
    EXPECT_EQ(read_to_end(fds[1]), "QUIET WORDS");
    int status = pclose3(pid, fds);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    Argv three({helper(), "exit", "3"});
    pid = popen3(fds, helper().c_str(), three.get());
    ASSERT_GT(pid, 0);
    status = pclose3(pid, fds);
    EXPECT_EQ(status, 3 << 8);

    Argv killed({helper(), "signal", "9"});
    pid = popen3(fds, helper().c_str(), killed.get());
    ASSERT_GT(pid, 0);
    status = pclose3(pid, fds);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGKILL);
}

TEST(Popen3, NameWithoutSlashIsLookedUpInTheSearchPathAndMissingProgramExitsOne)
{
    Argv sh({"sh", "-c", "echo found; echo oops >&2"});
    int fds[3];
    pid_t pid = popen3(fds, "sh", sh.get());
    ASSERT_GT(pid, 0);
    EXPECT_EQ(read_to_end(fds[1]), "found\n");
    EXPECT_EQ(read_to_end(fds[2]), "oops\n");
    EXPECT_EQ(pclose3(pid, fds), 0);

    Argv missing({"/nonexistent/tool"});
    pid = popen3(fds, "/nonexistent/tool", missing.get());
    ASSERT_GT(pid, 0);
    EXPECT_EQ(pclose3(pid, fds), 1 << 8);
}

TEST(RunTool, OutputBeyondOneMebibyteIsCollectedWholeAndInOrderOnBothStreams)
{
    const size_t out_len = 1536 * 1024 + 17;
    const size_t err_len = 700 * 1024 + 3;
    Argv spew({helper(), "spew", std::to_string(out_len), std::to_string(err_len)});
    Buffers b;
    ASSERT_EQ(ps_runtool(spew.get(), b.out, b.err), 0);
    EXPECT_TRUE(is_pattern(Buffers::text(b.out), 0, out_len));
    EXPECT_TRUE(is_pattern(Buffers::text(b.err), 1, err_len));
}

TEST(RunTool, CallersBufferGrowsPieceByPieceByItsOwnRule)
{
    // All bytes sit in the pipe at once, so they arrive in reads of 1,024 and the rest;
    // each piece is one dbuf_write: grow by the piece, at least by 256 bytes.
    Argv whole({helper(), "once", "3000"});
    Buffers b;
    ASSERT_EQ(ps_runtool(whole.get(), b.out, nullptr), 0);
    EXPECT_TRUE(is_pattern(Buffers::text(b.out), 0, 3000));
    EXPECT_EQ(b.out->size, 3000u) << "1,024 allocated, then grown by 1,024 and by 952";
    EXPECT_EQ(b.out->room, 0u);

    Argv short_tail({helper(), "once", "2100"});
    Buffers c;
    ASSERT_EQ(ps_runtool(short_tail.get(), c.out, nullptr), 0);
    EXPECT_EQ(dbuf_len(c.out), 2100u);
    EXPECT_EQ(c.out->size, 2048u + 256u) << "a 52-byte piece still grows by 256";

    // Room made beforehand is filled piece by piece before anything grows.
    dbuf *roomy = dbuf_createx(2000);
    ASSERT_NE(roomy, nullptr);
    ASSERT_EQ(ps_runtool(whole.get(), roomy, nullptr), 0);
    EXPECT_EQ(dbuf_len(roomy), 3000u);
    EXPECT_EQ(roomy->size, 3024u) << "1,024 fits, the next 1,024 grows it, 952 fits the rest";
    EXPECT_EQ(roomy->room, 24u);
    dbuf_destroy(roomy);

    // Bytes the caller already consumed are reclaimed by the first write, as always.
    Buffers d;
    ASSERT_EQ(dbuf_write(d.out, "abcdef", 6), 0);
    ASSERT_EQ(dbuf_read(d.out, nullptr, 4), 4u);
    ASSERT_EQ(ps_runtool(whole.get(), d.out, nullptr), 0);
    std::string text = Buffers::text(d.out);
    ASSERT_EQ(text.size(), 3002u);
    EXPECT_EQ(text.substr(0, 2), "ef");
    EXPECT_TRUE(is_pattern(text.substr(2), 0, 3000));
    EXPECT_EQ(d.out->rpos, 0u);
    EXPECT_EQ(d.out->size, 6u + 1024u + 1024u + 952u);
}

TEST(RunTool, OneBufferForBothStreamsCollectsEveryByte)
{
    // The natural way to merge the two streams. The error byte comes only once most of
    // the first 200,000 output bytes were read (a pipe holds 64 KiB), so the buffer is
    // large by the time the error stream first adds to it.
    Argv burst({helper(), "burst", "200000", "1", "200000"});
    Buffers b;
    ASSERT_EQ(ps_runtool(burst.get(), b.out, b.out), 0);
    // Every byte of both patterns, counted by value: where the error byte lands is not known.
    std::vector<size_t> expected(256), got(256);
    for (size_t i = 0; i < 400000; ++i)
        ++expected[bwv::test::pattern_byte(0, i)];
    ++expected[bwv::test::pattern_byte(1, 0)];
    for (unsigned char c : Buffers::text(b.out))
        ++got[c];
    EXPECT_EQ(got, expected);
}

TEST(RunTool, OutputIsReadToTheEndEvenWithoutBuffers)
{
    // Without draining, a child writing this much would block forever on a full pipe.
    Argv spew({helper(), "spew", "500000", "300000"});
    EXPECT_EQ(ps_runtool(spew.get(), nullptr, nullptr), 0);
    Buffers b;
    EXPECT_EQ(ps_runtool(spew.get(), nullptr, b.err), 0);
    EXPECT_TRUE(is_pattern(Buffers::text(b.err), 1, 300000));
}

TEST(RunTool, MissingAndNonExecutableToolsAndBadArguments)
{
    TempRoot dir;
    Argv missing({dir.file("absent")});
    EXPECT_EQ(ps_runtool(missing.get(), nullptr, nullptr), -8);

    // It exists, so it is started; the child cannot execute it and ends with status 1,
    // which ps_runtool does not report.
    Argv plain({dir.write("plain.txt", "not a program", 0644)});
    Buffers b;
    EXPECT_EQ(ps_runtool(plain.get(), b.out, b.err), 0);
    EXPECT_EQ(dbuf_len(b.out), 0u);

    EXPECT_EQ(ps_runtool(nullptr, nullptr, nullptr), -1);
    char *empty[] = {nullptr};
    EXPECT_EQ(ps_runtool(empty, nullptr, nullptr), -1);
}

TEST(RunTool, ExitStatusOfTheToolIsNotTheResult)
{
    Argv three({helper(), "exit", "3"});
    EXPECT_EQ(ps_runtool(three.get(), nullptr, nullptr), 0);
    Argv killed({helper(), "signal", "9"});
    EXPECT_EQ(ps_runtool(killed.get(), nullptr, nullptr), 0);
}

struct Exchange {
    execute_cmd_ctx ctx{};
    std::string input;
    std::string output;
    bool called = false;
    bool close_both = false;

    static int handle(execute_cmd_ctx *ctx, int out_fd, int in_fd)
    {
        auto *self = static_cast<Exchange *>(ctx->user0);
        self->called = true;
        if (!self->input.empty() && write(in_fd, self->input.data(), self->input.size()) < 0)
            return -1;
        close(in_fd);
        self->output = read_to_end(out_fd);
        if (self->close_both)
            close(out_fd);
        return 0;
    }
    Exchange()
    {
        ctx.user0 = this;
        ctx.io_handler = &Exchange::handle;
    }
    Exchange(const Exchange &) = delete;
    Exchange &operator=(const Exchange &) = delete;
};

TEST(ExecuteCmd, HandlerFeedsTheChildAndReadsItsOutput)
{
    Exchange ex;
    ex.input = "hello pipes";
    ex.close_both = true;
    std::string cmd = "'" + helper() + "' upper";
    EXPECT_EQ(execute_cmd(cmd.c_str(), &ex.ctx), 0);
    EXPECT_EQ(ex.output, "HELLO PIPES");

    // Words are formed as a shell forms them, quotes included.
    Exchange echo;
    EXPECT_EQ(execute_cmd("printf '%s|' \"two words\" one", &echo.ctx), 0);
    EXPECT_EQ(echo.output, "two words|one|");
}

TEST(ExecuteCmd, ExpansionsActInTheChildNotInTheCaller)
{
    unsetenv("BWV_ASSIGNED");
    Exchange assign;
    EXPECT_EQ(execute_cmd("printf %s ${BWV_ASSIGNED=child}", &assign.ctx), 0);
    EXPECT_EQ(assign.output, "child");
    EXPECT_EQ(getenv("BWV_ASSIGNED"), nullptr) << "the caller's environment changed";

    // A command substitution reads the handler's input, never the caller's own stdin.
    int saved = dup(0);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(write(p[1], "caller", 6), 6);
    close(p[1]);
    dup2(p[0], 0);
    close(p[0]);
    Exchange subst;
    subst.input = "handler";
    int rc = execute_cmd("printf %s $(cat)", &subst.ctx);
    dup2(saved, 0);
    close(saved);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(subst.output, "handler");
}

TEST(ExecuteCmd, ExitCodeIsDecodedAndDeathBySignalIsNot)
{
    Exchange three;
    EXPECT_EQ(execute_cmd((helper() + " exit 3").c_str(), &three.ctx), 3);
    Exchange killed;
    EXPECT_EQ(execute_cmd((helper() + " signal 9").c_str(), &killed.ctx), 9);
}

TEST(ExecuteCmd, CommandThatCannotBeSplitOrRunEndsWithStatusOne)
{
    Exchange unbalanced;
    EXPECT_EQ(execute_cmd("echo 'unbalanced", &unbalanced.ctx), 1);
    EXPECT_TRUE(unbalanced.called);
    Exchange missing;
    EXPECT_EQ(execute_cmd("/nonexistent/tool arg", &missing.ctx), 1);
    EXPECT_EQ(execute_cmd(nullptr, &missing.ctx), -1);
}

TEST(CloseAll, ForkedChildKeepsOnlyDevNullOnItsStandardDescriptors)
{
    struct stat null_st {};
    ASSERT_EQ(stat("/dev/null", &null_st), 0);
    int extra = open("/dev/zero", O_RDONLY);  // inherited without close-on-exec
    ASSERT_GE(extra, 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        closeall();
        int failures = 0;
        for (int fd = 0; fd < 3; ++fd) {
            struct stat st {};
            if (fstat(fd, &st) != 0 || st.st_rdev != null_st.st_rdev || (fcntl(fd, F_GETFL) & O_ACCMODE) != O_RDWR)
                failures |= 1;
        }
        for (int fd = 3; fd < 4096; ++fd) {
            if (fcntl(fd, F_GETFD) != -1)
                failures |= 2;
        }
        _exit(failures);
    }
    close(extra);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: a standard descriptor is not /dev/null, 2: another stayed open";
}

}  // namespace
