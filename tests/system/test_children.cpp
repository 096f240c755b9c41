#include <gtest/gtest.h>

#include <bwvutil/ps_utils.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <utility>

#include "support/bwvtest.hpp"
#include "system/child.hpp"

namespace {

using bwv::sys::ArgVector;
using bwv::test::TempDir;

std::string read_to_end(int fd)
{
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        out.append(buf, static_cast<size_t>(n));
    return out;
}

std::string text(dbuf *b) { return std::string(static_cast<char *>(dbuf_data(b)), dbuf_len(b)); }

std::string noise(size_t len)
{
    std::mt19937 gen(static_cast<unsigned>(len));
    std::string s(len, '\0');
    for (auto &c : s)
        c = static_cast<char>(gen());
    return s;
}

TEST(Popen3, ChildTalksOverThreePipesAndItsStatusComesBackUndecoded)
{
    const struct {
        const char *script, *input, *out, *err;
        int status;
    } rows[] = {{"tr a-z A-Z", "quiet words", "QUIET WORDS", "", 0},
                {"echo oops >&2; exit 3", "", "", "oops\n", 3 << 8},
                {"kill -9 $$", "", "", "", SIGKILL}};
    for (const auto &r : rows) {
        ArgVector sh{"sh", "-c", r.script};
        int fds[3];
        pid_t pid = popen3(fds, "sh", sh.get());  // no "/": looked up in the search path
        ASSERT_GT(pid, 0);
        EXPECT_EQ(write(fds[0], r.input, strlen(r.input)), static_cast<ssize_t>(strlen(r.input)));
        close(std::exchange(fds[0], -1));
        EXPECT_EQ(read_to_end(fds[1]), r.out);
        EXPECT_EQ(read_to_end(fds[2]), r.err);
        EXPECT_EQ(pclose3(pid, fds), r.status) << r.script;
    }
}

TEST(RunTool, BothStreamsAreDrainedAtOnceWholeAndInOrderIntoOneBufferOrTwo)
{
    // Each stream alone overfills a pipe, so reading one to its end first would hang.
    TempDir dir;
    dir.write("out", noise(1536 * 1024 + 17));
    dir.write("err", noise(700 * 1024 + 3));
    ArgVector tool{dir.script("tool", "cat '@ROOT@/err' >&2; cat '@ROOT@/out'; cat '@ROOT@/err' >&2\n")};
    dbuf *o = dbuf_create(), *e = dbuf_create(), *both = dbuf_create();
    // Bytes the caller already consumed are reclaimed by the first piece.
    ASSERT_EQ(dbuf_write(o, "abcdef", 6), 0);
    dbuf_read(o, nullptr, 4);
    ASSERT_EQ(ps_runtool(tool.get(), o, e), 0);
    EXPECT_TRUE(text(o) == "ef" + dir.read("out"));
    EXPECT_TRUE(text(e) == dir.read("err") + dir.read("err"));
    EXPECT_EQ(ps_runtool(tool.get(), nullptr, nullptr), 0) << "read and dropped";

    // One buffer for both streams: the error bytes arrive once the buffer is large.
    ArgVector burst{dir.script("burst", "head -c 200000 '@ROOT@/out'; printf E >&2; tail -c +200001 '@ROOT@/out'\n")};
    ASSERT_EQ(ps_runtool(burst.get(), both, both), 0);
    std::string got = text(both), expected = dir.read("out") + "E";
    std::sort(got.begin(), got.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_TRUE(got == expected) << "where the error byte lands is not known";
    for (dbuf *b : {o, e, both})
        dbuf_destroy(b);
}

TEST(RunTool, CallersBufferGrowsPieceByPieceAsDbufWriteWouldGrowIt)
{
    // 3,000 bytes written at once are read as 1,024 + 1,024 + 952; each piece grows the
    // buffer by itself, but by 256 at least.
    TempDir dir;
    const uint32_t rows[][3] = {{3000, 3000, 0}, {2100, 2048 + 256, 204}};
    for (const auto &[len, size, room] : rows) {
        ArgVector cat{"/bin/cat", dir.write("in", noise(len))};
        dbuf *b = dbuf_create();
        ASSERT_EQ(ps_runtool(cat.get(), b, nullptr), 0);
        EXPECT_TRUE(text(b) == dir.read("in"));
        EXPECT_EQ(b->size, size) << len;
        EXPECT_EQ(b->room, room) << len;
        dbuf_destroy(b);
    }
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
    TempDir dir;
    int saved = dup(0), caller = open(dir.write("stdin", "caller").c_str(), O_RDONLY);
    dup2(caller, 0);
    close(caller);
    unsetenv("BWV_ASSIGNED");
    const struct {
        const char *cmd, *input, *output;
        int rc;
    } rows[] = {
        {"tr a-z A-Z", "hello pipes", "HELLO PIPES", 0},
        {"printf '%s|' \"two words\" one", "", "two words|one|", 0},
        {"printf %s ${BWV_ASSIGNED=child}", "", "child", 0},
        {"printf %s $(cat)", "handler", "handler", 0},
        {"sh -c 'exit 3'", "", "", 3},
        {"sh -c 'kill -9 $$'", "", "", 9},  // the undecoded status
        {"echo 'unbalanced", "", "", 1},
        {"/nonexistent/tool arg", "", "", 1},
    };
    for (const auto &r : rows) {
        Exchange ex{r.input, "", false};
        execute_cmd_ctx ctx{&ex, nullptr, exchange};
        EXPECT_EQ(execute_cmd(r.cmd, &ctx), r.rc) << r.cmd;
        EXPECT_EQ(ex.output, r.output) << r.cmd;
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
    struct stat null_st {};
    ASSERT_EQ(stat("/dev/null", &null_st), 0);
    int extra = open("/dev/zero", O_RDONLY);  // inherited without close-on-exec
    // closeall closes the answer's pipe too: the exit status is the answer ("" for 0).
    EXPECT_EQ(bwv::test::in_fresh_process([&]() -> std::string {
                  closeall();
                  bool ok = true;
                  for (int fd = 0; fd < 4096; ++fd) {
                      struct stat st {};
                      ok &= fd < 3 ? fstat(fd, &st) == 0 && st.st_rdev == null_st.st_rdev &&
                                         (fcntl(fd, F_GETFL) & O_ACCMODE) == O_RDWR
                                   : fcntl(fd, F_GETFD) == -1;
                  }
                  _exit(ok ? 0 : 1);
              }),
              "");
    close(extra);
}

}  // namespace
